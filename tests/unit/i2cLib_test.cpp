// i2cLib and cpm_i2c: the real drivers over the board model.
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/cpm_i2c.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/i2cLib.h"
#include "host/board/board.h"
#include "support/deviceBoards.h"
#include "support/textCheck.h"

#include <cstring>

namespace {

using I2cLib = I2cBoard;

TEST_F(I2cLib, ReadsAndWritesOnBothControllers)
{
    const uint8_t* ee = host::board().eeprom().contents().data();
    uint8_t b[256];
    ASSERT_EQ(i2cRandomRead(7, I2C_DEV_VPD, 0, 1, b, 256), 0) << "the bus number changes nothing";
    EXPECT_EQ(0, std::memcmp(b, ee, 256));
    ASSERT_EQ(i2cRandomRead(1, I2C_DEV_VPD, 3, 1, b, 2), 0);
    EXPECT_EQ(0, std::memcmp(b, ee + 3, 2));
    // Back-to-back writes: acknowledge polling waits out each write cycle.
    for (uint8_t off : {uint8_t(0x40), uint8_t(0x41)}) ASSERT_EQ(i2cRandomWrite(1, I2C_DEV_VPD, off, 1, &off, 1), 0);
    EXPECT_EQ(ee[0x40] << 8 | ee[0x41], 0x4041);
    // The CPM channel: its settle, then two transfers that take their time.
    uint32_t t0 = vx::tickGet();
    EXPECT_EQ(cpm_iic_read(0xA2, b, 3, 5), 5);
    EXPECT_GE(vx::tickGet() - t0, 62u);
    EXPECT_EQ(0, std::memcmp(b, ee + 3, 5));
    EXPECT_EQ(cpm_iic_read(0xA0, b, 0, 1), 0) << "no acknowledge";
    // Absent devices on either controller leave the bus idle.
    for (int32_t dev : {1, 6}) EXPECT_EQ(i2cRandomRead(1, dev, 0, 1, b, 1), -1) << dev;
    EXPECT_FALSE(host::board().i2cBus().busy());
    EXPECT_EQ(takeText(), "");
}

TEST_F(I2cLib, BadArgumentsSilentDevicesAndABusyBusFailWithoutHanging)
{
    auto& bus = host::board().i2cBus();
    uint8_t b[4] = {0x55};
    uint64_t before = bus.addressCycles();
    for (int32_t dev : {0, 9}) EXPECT_EQ(i2cRandomRead(1, dev, 0, 1, b, 1), -1);
    EXPECT_EQ(i2cRandomRead(1, 4, 0, 1, b, 0), -1);
    EXPECT_EQ(i2cRandomRead(1, 4, 0, 5, b, 1), -1);
    EXPECT_EQ(i2cRandomWrite(1, 4, 0, 1, b, 0), -1);
    EXPECT_EQ(i2cRandomWrite(1, 9, 0, 1, b, 1), -1);
    EXPECT_EQ(cpm_iic_read(0xA2, b, 0, 0), 0);
    EXPECT_EQ(cpm_iic_read(0xA2, b, 0, CPM_IIC_MAX_READ + 1), 0);
    EXPECT_EQ(bus.addressCycles(), before) << "no bus traffic";

    bus.setNotAcknowledging(0x51, true);
    EXPECT_EQ(i2cRandomRead(1, I2C_DEV_VPD, 0, 1, b, 1), -1);
    EXPECT_EQ(i2cRandomWrite(1, I2C_DEV_VPD, 0, 1, b, 1), -1);
    EXPECT_EQ(i2cRandomRead(1, I2C_DEV_RTC, 0, 1, b, 1), 0);
    bus.clearFaults();
    bus.setHeldBusy(true);
    uint32_t t0 = vx::tickGet();
    EXPECT_EQ(i2cRandomRead(1, I2C_DEV_RTC, 0, 1, b, 1), -1);
    EXPECT_EQ(i2cRandomWrite(1, I2C_DEV_RTC, 8, 1, b, 1), -1);
    EXPECT_EQ(i2cRandomRead(1, 6, 0, 1, b, 1), -1);
    EXPECT_LT(vx::tickGet() - t0, 1000u) << "bounded waits";
    std::string out = takeText();
    EXPECT_HAS(out, "i2cStart: timeout waiting for the bus to be free");
    EXPECT_HAS(out, "cpm_iic_read: I2C transfer did not complete");
    bus.clearFaults();
    EXPECT_EQ(i2cRandomRead(1, I2C_DEV_RTC, 8, 1, b, 1), 0) << "the bus works again";
    EXPECT_EQ(b[0], 20);
}

} // namespace
