// i2cLib and cpm_i2c: the real drivers over the board model.
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/cpm_i2c.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/i2cLib.h"
#include "host/board/board.h"
#include "support/i2cBoard.h"
#include "support/textCheck.h"

#include <cstring>

namespace {

class I2cLib : public I2cBoard {
protected:
    uint64_t cycles() { return host::board().i2cBus().addressCycles(); }
};

TEST_F(I2cLib, BadArgumentsFailWithoutBusTraffic)
{
    uint8_t b[4];
    uint64_t before = cycles();
    EXPECT_EQ(i2cRandomRead(1, 4, 0, 1, b, 0), -1);
    EXPECT_EQ(i2cRandomRead(1, 0, 0, 1, b, 1), -1);
    EXPECT_EQ(i2cRandomRead(1, 9, 0, 1, b, 1), -1);
    EXPECT_EQ(i2cRandomRead(1, 4, 0, 5, b, 1), -1);
    EXPECT_EQ(i2cRandomWrite(1, 4, 0, 1, b, 0), -1);
    EXPECT_EQ(i2cRandomWrite(1, 9, 0, 1, b, 1), -1);
    EXPECT_EQ(cycles(), before);
}

TEST_F(I2cLib, ReadsTheDevicesOnTheMainController)
{
    uint8_t century = 0;
    ASSERT_EQ(i2cRandomRead(1, I2C_DEV_RTC, 8, 1, &century, 1), 0);
    EXPECT_EQ(century, 20);
    uint8_t vpd[256];
    ASSERT_EQ(i2cRandomRead(7, I2C_DEV_VPD, 0, 1, vpd, 256), 0) << "the bus number changes nothing";
    EXPECT_EQ(0, std::memcmp(vpd, host::board().eeprom().contents().data(), 256));
    uint8_t two[2];
    ASSERT_EQ(i2cRandomRead(1, I2C_DEV_VPD, 3, 1, two, 2), 0);
    EXPECT_EQ(two[0], 1);
    EXPECT_EQ(two[1], vpd[4]);
    // Absent devices on either controller.
    EXPECT_EQ(i2cRandomRead(1, 1, 0, 1, two, 1), -1);
    EXPECT_EQ(i2cRandomRead(1, 6, 0, 1, two, 1), -1);
    EXPECT_FALSE(host::board().i2cBus().busy()) << "bus left idle";
    EXPECT_EQ(console(), "");
}

TEST_F(I2cLib, WritesWaitOutTheEepromWriteCycle)
{
    // The part's write cycle outlasts the 150 polls of a fast bus; the driver
    // polls long enough and each write is in place when it returns.


    for (uint8_t off = 0x40; off < 0x44; ++off) {
        uint8_t v = uint8_t(0x10 + off);
        ASSERT_EQ(i2cRandomWrite(1, I2C_DEV_VPD, off, 1, &v, 1), 0);
        EXPECT_EQ(host::board().eeprom().contents()[off], v);
    }
    uint8_t t[2] = {0x30, 0x12};
    ASSERT_EQ(i2cRandomWrite(1, I2C_DEV_RTC, 1, 1, t, 2), 0);
    auto regs = host::board().rtc().registers();
    EXPECT_EQ(regs[1], 0x30);
    EXPECT_EQ(regs[2], 0x12);
}

TEST_F(I2cLib, CpmChannelReadsAndReportsNoAcknowledge)
{
    uint8_t buf[5] = {};
    EXPECT_EQ(cpm_iic_read(0xA2, buf, 3, 5), 5);
    EXPECT_EQ(0, std::memcmp(buf, host::board().eeprom().contents().data() + 3, 5));
    EXPECT_EQ(cpm_iic_read(0xA0, buf, 0, 1), 0);
    EXPECT_EQ(cpm_iic_read(0xA2, buf, 0, 0), 0);
    EXPECT_EQ(cpm_iic_read(0xA2, buf, 0, CPM_IIC_MAX_READ + 1), 0);
}

TEST_F(I2cLib, SilentDeviceAndBusyBusFailWithoutHanging)
{
    auto& bus = host::board().i2cBus();
    uint8_t b = 0x55;
    bus.setNotAcknowledging(0x51, true);
    EXPECT_EQ(i2cRandomRead(1, I2C_DEV_VPD, 0, 1, &b, 1), -1);
    EXPECT_EQ(i2cRandomWrite(1, I2C_DEV_VPD, 0, 1, &b, 1), -1);
    EXPECT_EQ(i2cRandomRead(1, I2C_DEV_RTC, 0, 1, &b, 1), 0);
    bus.clearFaults();

    bus.setHeldBusy(true);
    uint32_t t0 = vx::tickGet();
    EXPECT_EQ(i2cRandomRead(1, I2C_DEV_RTC, 0, 1, &b, 1), -1);
    EXPECT_EQ(i2cRandomWrite(1, I2C_DEV_RTC, 8, 1, &b, 1), -1);
    EXPECT_EQ(i2cRandomRead(1, 6, 0, 1, &b, 1), -1);
    EXPECT_LT(vx::tickGet() - t0, 1000u) << "bounded waits";
    std::string out = console();
    EXPECT_HAS(out, "i2cStart: timeout waiting for the bus to be free");
    EXPECT_HAS(out, "cpm_iic_read: I2C transfer did not complete");
    bus.clearFaults();
    EXPECT_EQ(i2cRandomRead(1, I2C_DEV_RTC, 8, 1, &b, 1), 0) << "the bus works again";
    EXPECT_EQ(b, 20);
}

TEST_F(I2cLib, TraceLinesOnlyWhileTheMaskIsSet)
{
    uint8_t b;
    i2cRandomRead(1, 0, 0, 1, &b, 1);
    EXPECT_EQ(console(), "");
    i2cTraceMask = 0x8;
    i2cRandomRead(1, 0, 0, 1, &b, 1);
    i2cTraceMask = 0;
    std::string out = console();
    EXPECT_HAS(out, "i2cLib : i2cRandomRead  ");
    EXPECT_HAS(out, "Error return: erroneous device = 0");
}

} // namespace
