// Board model: PCI configuration cycles as software reaches them through the
// bus. (The L2 controller and PLL straps are shown by the system utilities
// test's option 4; the DRAM stuck bit is found there and in bootMemTest.)
#include "host/board/board.h"
#include "osapi.h"
#include "sysBus.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

constexpr uint32_t kCfgAddr = 0xF0008000, kCfgData = 0xF0008004;

uint32_t cfgAddr(int bus, int dev, int func, int reg)
{
    return 0x80000000u | uint32_t(bus) << 16 | uint32_t(dev) << 11 | uint32_t(func) << 8 | uint32_t(reg);
}
uint32_t rd(uint32_t a, bool rev = false)
{
    uint32_t v = 0;
    EXPECT_EQ(rev ? sysBusRead32Rev(a, &v) : sysBusRead32(a, &v), 0) << std::hex << a;
    return v;
}

class BoardHw : public ::testing::Test {
protected:
    void SetUp() override { host::board().powerOn(); }
    void TearDown() override { host::board().powerOn(); }
};

TEST_F(BoardHw, PciConfigCyclesInPciByteOrderAndOnlyWritableFieldsChange)
{
    EXPECT_EQ((sysBusWrite32(kCfgAddr, cfgAddr(0, 17, 0, 0)), rd(kCfgAddr)), cfgAddr(0, 17, 0, 0));
    EXPECT_EQ(rd(kCfgData, true), 0x569514E4u) << "device ID in the high half, vendor in the low";
    uint8_t b = 0;
    EXPECT_EQ((sysBusRead8(kCfgData + 1, &b), b), 0x14) << "byte 1 of the register";
    // Absent devices, other buses and a disabled cycle read all ones.
    for (uint32_t a : {cfgAddr(0, 5, 0, 0), cfgAddr(1, 17, 0, 0), cfgAddr(0, 17, 1, 0), 0x00008800u}) {
        sysBusWrite32(kCfgAddr, a);
        EXPECT_EQ(rd(kCfgData), 0xFFFFFFFFu) << std::hex << a;
    }
    uint32_t v;
    EXPECT_NE(sysBusRead32(kCfgAddr + 0x10, &v), 0) << "no register there";
    // BAR sizing reads back the 64 KiB window's mask; IDs are read-only.
    for (auto [reg, write, read] : {std::tuple{0x10, 0xFFFFFFFFu, 0xFFFF0000u}, {0, 0x12345678u, 0x569514E4u}}) {
        sysBusWrite32(kCfgAddr, cfgAddr(0, 18, 0, reg));
        EXPECT_EQ((sysBusWrite32Rev(kCfgData, write), rd(kCfgData, true)), read);
    }
    host::board().powerOn();
    sysBusWrite32(kCfgAddr, cfgAddr(0, 18, 0, 0x10));
    EXPECT_EQ(rd(kCfgData, true), 0x80010000u) << "power-on restores the configured window";
    // The platform's configuration reads refuse bad arguments.
    uint16_t w = 0;
    EXPECT_EQ((vx::pciConfigInLong(0, 17, 0, 0x10, &v), v), 0x80000000u);
    EXPECT_EQ(vx::pciConfigInWord(0, 32, 0, 0, &w) & vx::pciConfigInWord(0, 0, 0, 1, &w), vx::ERROR) << "misaligned";
    EXPECT_EQ(vx::pciConfigInByte(256, 0, 0, 0, &b) & vx::pciConfigInLong(0, 0, 8, 0, &v), vx::ERROR);
}

} // namespace
