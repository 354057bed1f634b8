// I2C board model: the wires, the DS1338 clock, the AT24C02 EEPROM and both
// controllers, driven through their registers as the drivers drive them.
#include "host/board/board.h"
#include "host/os/hostos.h"
#include "sysBus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

using host::At24c02;
using host::Ds1338;
using host::I2cBus;

constexpr uint8_t kEeW = 0xA2, kEeR = 0xA3, kRtcW = 0xD0;

struct TempDir {
    std::string path;
    TempDir()
    {
        char t[] = "/tmp/tarn-i2cmodel-XXXXXX";
        path = mkdtemp(t);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string bytes(const std::string& name) const
    {
        std::ifstream in(path + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
};

// A master on the wires: random read and write the way the drivers do them.
struct Master {
    I2cBus& bus;
    bool writeBytes(uint8_t addrW, uint8_t offset, std::initializer_list<uint8_t> data)
    {
        if (!bus.acquire(this)) return false;
        bool ok = bus.address(addrW) && bus.write(offset);
        for (uint8_t b : data) ok = ok && bus.write(b);
        bus.release();
        return ok;
    }
    bool readBytes(uint8_t addrW, uint8_t offset, uint8_t* out, int n)
    {
        if (!bus.acquire(this)) return false;
        bool ok = bus.address(addrW) && bus.write(offset) && bus.address(addrW | 1);
        for (int i = 0; ok && i < n; ++i) out[i] = bus.read(i + 1 < n);
        bus.release();
        return ok;
    }
    int attemptsUntilAck(uint8_t addrW)
    {
        for (int n = 1; n < 100000; ++n) {
            bus.acquire(this);
            bool ack = bus.address(addrW);
            bus.release();
            if (ack) return n;
        }
        return -1;
    }
};

TEST(I2cWires, AbsentAndSilencedDevicesDoNotAcknowledge)
{
    I2cBus bus;
    At24c02 ee;
    bus.attach(At24c02::kAddress, &ee);
    ee.powerOn("");
    Master m{bus};
    uint8_t b = 0;
    EXPECT_FALSE(m.readBytes(0xA0, 0, &b, 1)) << "0x50 is absent";
    EXPECT_TRUE(m.readBytes(kEeW, 0, &b, 1));
    EXPECT_EQ(b, 0xFF) << "the factory VPD starts with the marker";
    bus.setNotAcknowledging(At24c02::kAddress, true);
    EXPECT_FALSE(m.readBytes(kEeW, 0, &b, 1));
    bus.setHeldBusy(true);
    EXPECT_TRUE(bus.busy());
    EXPECT_FALSE(bus.acquire(&m));
    bus.clearFaults();
    EXPECT_TRUE(m.readBytes(kEeW, 0, &b, 1));
}

TEST(At24c02Model, PageWriteWrapsAndWriteCycleRefusesTheAddress)
{
    TempDir dir;
    I2cBus bus;
    At24c02 ee;
    bus.attach(At24c02::kAddress, &ee);
    ee.powerOn(dir.path + "/eeprom.bin");
    EXPECT_EQ(dir.bytes("eeprom.bin").size(), 256u) << "factory contents laid down";
    Master m{bus};
    // Offset 0x16: 0x16, 0x17, then wraps to 0x10 within the 8-byte page.
    ASSERT_TRUE(m.writeBytes(kEeW, 0x16, {0xA1, 0xA2, 0xA3}));
    EXPECT_TRUE(ee.inWriteCycle());
    EXPECT_GT(m.attemptsUntilAck(kEeW), 0);
    uint8_t got[8];
    ASSERT_TRUE(m.readBytes(kEeW, 0x10, got, 8));
    EXPECT_EQ(got[0], 0xA3);
    EXPECT_EQ(got[6], 0xA1);
    EXPECT_EQ(got[7], 0xA2);
    EXPECT_EQ(uint8_t(dir.bytes("eeprom.bin")[0x10]), 0xA3) << "written through";
    // Sequential reads roll over the whole array.
    ASSERT_TRUE(m.readBytes(kEeW, 0xFF, got, 2));
    EXPECT_EQ(got[1], 0xFF);
    // Data followed by a repeated start instead of a stop is not written.
    bus.acquire(&m);
    ASSERT_TRUE(bus.address(kEeW));
    bus.write(0x40);
    bus.write(0x55);
    ASSERT_TRUE(bus.address(kEeR));
    bus.read(false);
    bus.release();
    EXPECT_FALSE(ee.inWriteCycle());
    EXPECT_NE(ee.contents()[0x40], 0x55);
    // Contents survive a power cycle.
    At24c02 again;
    again.powerOn(dir.path + "/eeprom.bin");
    EXPECT_EQ(again.contents()[0x17], 0xA2);
}

// A DS1338 on its own wires, keeping time from `wall` and persisting in path.
struct RtcRig {
    RtcRig(const int64_t& wall, const std::string& path) : rtc([&wall] { return wall; })
    {
        bus.attach(Ds1338::kAddress, &rtc);
        rtc.powerOn(path);
    }
    I2cBus bus;
    Ds1338 rtc;
    Master m{bus};
};

class Ds1338Model : public ::testing::Test {
protected:
    void SetUp() override { host::clockInit(true); }
    int64_t wall = int64_t(1700000000) * 1000000000;
    TempDir dir;
    std::string path() const { return dir.path + "/rtc.bin"; }
};

TEST_F(Ds1338Model, FreshChipIsHaltedAndStartsWhenTheHaltBitClears)
{
    RtcRig c(wall, path());
    uint8_t r[9];
    ASSERT_TRUE(c.m.readBytes(kRtcW, 0, r, 9));
    EXPECT_EQ(r[0], 0x80) << "halted";
    EXPECT_EQ(r[7] & Ds1338::kCtlOsf, Ds1338::kCtlOsf);
    host::clockAdvanceNs(5000000000ull);
    ASSERT_TRUE(c.m.readBytes(kRtcW, 0, r, 1));
    EXPECT_EQ(r[0], 0x80) << "a halted clock does not move";
    ASSERT_TRUE(c.m.writeBytes(kRtcW, 0, {0x00}));
    ASSERT_TRUE(c.m.writeBytes(kRtcW, 7, {0x00}));
    host::clockAdvanceNs(61500000000ull);
    ASSERT_TRUE(c.m.readBytes(kRtcW, 0, r, 8));
    EXPECT_EQ(r[0], 0x01);
    EXPECT_EQ(r[1], 0x01);
    EXPECT_EQ(r[7] & Ds1338::kCtlOsf, 0) << "cleared by writing 0";
}

TEST_F(Ds1338Model, CalendarRollsOverIn24And12HourForm)
{
    RtcRig c(wall, "");
    // 2008-02-28 23:59:58 (24-hour), Thursday (5)
    ASSERT_TRUE(c.m.writeBytes(kRtcW, 0, {0x58, 0x59, 0x23, 5, 0x28, 0x02, 0x08}));
    host::clockAdvanceNs(2000000000ull);
    uint8_t r[7];
    ASSERT_TRUE(c.m.readBytes(kRtcW, 0, r, 7));
    EXPECT_EQ(r[0] | r[2], 0x00);
    EXPECT_EQ(r[3], 6);
    EXPECT_EQ(r[4], 0x29) << "2008 is a leap year";
    EXPECT_EQ(r[5], 0x02);
    // 11:59:59 PM on 2099-12-31 in 12-hour form: to 12:00:00 AM, year 00.
    ASSERT_TRUE(c.m.writeBytes(kRtcW, 0, {0x59, 0x59, 0x40 | 0x20 | 0x11, 7, 0x31, 0x12, 0x99}));
    host::clockAdvanceNs(1000000000ull);
    ASSERT_TRUE(c.m.readBytes(kRtcW, 0, r, 7));
    EXPECT_EQ(std::vector<uint8_t>(r + 2, r + 7), (std::vector<uint8_t>{0x40 | 0x12, 1, 0x01, 0x01, 0x00}));
    // The register pointer wraps from 63 to 0.
    ASSERT_TRUE(c.m.writeBytes(kRtcW, 63, {0x7E, 0x30}));
    ASSERT_TRUE(c.m.readBytes(kRtcW, 63, r, 2));
    EXPECT_EQ(r[0], 0x7E);
    EXPECT_EQ(r[1], 0x30);
}

TEST_F(Ds1338Model, KeepsRunningWhileTheBoardIsOff)
{
    {
        RtcRig c(wall, path());
        ASSERT_TRUE(c.m.writeBytes(kRtcW, 0, {0x00, 0x00, 0x10, 0, 0x01, 0x06, 0x08}));
    }
    wall += int64_t(3600 + 30) * 1000000000;
    host::clockInit(true); // the next run's platform clock starts again at 0
    RtcRig c(wall, path());
    auto r = c.rtc.registers();
    EXPECT_EQ(r[2], 0x11);
    EXPECT_EQ(r[1], 0x00);
    EXPECT_EQ(r[0], 0x30);
    EXPECT_EQ(r[8], 20);
}

// ---- Controllers, through the physical bus -------------------------------------------

constexpr uint32_t kI2c = 0xF0003000;
constexpr uint32_t kCr = kI2c + 8, kSr = kI2c + 0xC, kDr = kI2c + 0x10;

uint8_t reg(uint32_t a)
{
    uint32_t v = 0;
    EXPECT_EQ(sysBusRead32Rev(a, &v), 0);
    return uint8_t(v);
}
void setReg(uint32_t a, uint8_t v) { EXPECT_EQ(sysBusWrite32Rev(a, v), 0); }

class Controllers : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::clockInit(true);
        host::board().setDir("");
        host::board().powerOn();
    }
    void TearDown() override { host::board().i2cBus().clearFaults(); }
};

TEST_F(Controllers, MainControllerAbsentDeviceAndArbitrationLoss)
{
    EXPECT_EQ(reg(kSr), 0x81) << "reset status: MCF, RXAK";
    setReg(kCr, 0x80);
    setReg(kCr, 0x80 | 0x20 | 0x10);
    setReg(kDr, 0xA0);
    EXPECT_EQ(reg(kSr) & 0x03, 0x03) << "no acknowledge";
    setReg(kCr, 0x80);
    setReg(kSr, 0);
    setReg(kCr, 0x80 | 0x04); // repeated start while not master
    EXPECT_EQ(reg(kSr) & 0x12, 0x12);
    setReg(kSr, 0);
    host::board().i2cBus().setHeldBusy(true);
    EXPECT_EQ(reg(kSr) & 0x20, 0x20);
    setReg(kCr, 0x80 | 0x20 | 0x10);
    EXPECT_EQ(reg(kSr) & 0x12, 0x12) << "the bus belongs to another master";
    EXPECT_EQ(reg(kCr) & 0x20, 0) << "MSTA cleared";
    setReg(kDr, kEeW);
    EXPECT_EQ(reg(kSr) & 0x02, 0x02) << "no new transfer; flag still from the loss";
}

} // namespace
