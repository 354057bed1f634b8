// Board model: PCI configuration cycles, the L2 controller, the PLL straps and
// the DRAM stuck-bit fault, as software reaches them through the bus.
#include "host/board/board.h"
#include "osapi.h"
#include "sysBus.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kCfgAddr = 0xF0008000;
constexpr uint32_t kCfgData = 0xF0008004;

uint32_t cfgAddr(int bus, int dev, int func, int reg)
{
    return 0x80000000u | uint32_t(bus) << 16 | uint32_t(dev) << 11 | uint32_t(func) << 8 | uint32_t(reg);
}

class BoardHw : public ::testing::Test {
protected:
    void SetUp() override { host::board().powerOn(); }
    void TearDown() override
    {
        host::board().dram().clearStuckBit();
        host::board().powerOn();
    }
};

TEST_F(BoardHw, PciConfigCyclesReachTheBoardsDevicesInPciByteOrder)
{
    uint32_t v = 0;
    ASSERT_EQ(sysBusWrite32(kCfgAddr, cfgAddr(0, 17, 0, 0)), 0);
    ASSERT_EQ(sysBusRead32(kCfgAddr, &v), 0);
    EXPECT_EQ(v, cfgAddr(0, 17, 0, 0));
    ASSERT_EQ(sysBusRead32Rev(kCfgData, &v), 0);
    EXPECT_EQ(v, 0x569514E4u) << "device ID in the high half, vendor in the low";
    uint8_t b = 0;
    ASSERT_EQ(sysBusRead8(kCfgData + 1, &b), 0);
    EXPECT_EQ(b, 0x14) << "byte 1 of the register";

    // Absent devices, other buses and a disabled cycle read all ones.
    for (uint32_t a : {cfgAddr(0, 5, 0, 0), cfgAddr(1, 17, 0, 0), cfgAddr(0, 17, 1, 0), 0x00008800u}) {
        sysBusWrite32(kCfgAddr, a);
        sysBusRead32(kCfgData, &v);
        EXPECT_EQ(v, 0xFFFFFFFFu) << std::hex << a;
    }
    EXPECT_NE(sysBusRead32(kCfgAddr + 0x10, &v), 0) << "no register there";
}

TEST_F(BoardHw, PciWritesChangeOnlyWritableFields)
{
    // BAR sizing: all ones reads back the size mask of the 64 KiB window.
    sysBusWrite32(kCfgAddr, cfgAddr(0, 18, 0, 0x10));
    sysBusWrite32Rev(kCfgData, 0xFFFFFFFFu);
    uint32_t v = 0;
    sysBusRead32Rev(kCfgData, &v);
    EXPECT_EQ(v, 0xFFFF0000u);
    sysBusWrite32(kCfgAddr, cfgAddr(0, 18, 0, 0));
    sysBusWrite32Rev(kCfgData, 0x12345678u);
    sysBusRead32Rev(kCfgData, &v);
    EXPECT_EQ(v, 0x569514E4u) << "IDs are read-only";
    host::board().powerOn();
    sysBusWrite32(kCfgAddr, cfgAddr(0, 18, 0, 0x10));
    sysBusRead32Rev(kCfgData, &v);
    EXPECT_EQ(v, 0x80010000u) << "power-on restores the configured window";
}

TEST_F(BoardHw, PlatformConfigurationReadsRefuseBadArguments)
{
    uint16_t w = 0;
    uint8_t b = 0;
    uint32_t l = 0;
    ASSERT_EQ(vx::pciConfigInLong(0, 17, 0, 0x10, &l), vx::OK);
    EXPECT_EQ(l, 0x80000000u);
    EXPECT_EQ(vx::pciConfigInWord(0, 32, 0, 0, &w), vx::ERROR);
    EXPECT_EQ(vx::pciConfigInWord(0, 0, 0, 1, &w), vx::ERROR) << "misaligned";
    EXPECT_EQ(vx::pciConfigInByte(256, 0, 0, 0, &b), vx::ERROR);
    EXPECT_EQ(vx::pciConfigInLong(0, 0, 8, 0, &l), vx::ERROR);
}

TEST_F(BoardHw, L2ControllerSizeIsFixedAndInvalidateCompletes)
{
    uint32_t v = 0;
    ASSERT_EQ(sysBusRead32(0xF0020000, &v), 0);
    EXPECT_EQ(v, 0x20000000u) << "256 KiB, disabled at reset";
    ASSERT_EQ(sysBusWrite32(0xF0020000, 0xC8000000u), 0);
    sysBusRead32(0xF0020000, &v);
    EXPECT_EQ(v, 0xA8000000u);
    sysBusWrite32(0xF0020000, 0x00000000u);
    sysBusRead32(0xF0020000, &v);
    EXPECT_EQ(v, 0x20000000u);
    sysBusWrite32(0xF0020100, 0xFFFFFFFFu);
    sysBusRead32(0xF0020100, &v);
    EXPECT_EQ(v, 0xFFFFC000u);
    EXPECT_NE(sysBusRead8(0xF0020000, reinterpret_cast<uint8_t*>(&v)), 0) << "32-bit registers only";
    EXPECT_NE(sysBusRead32(0xF0020004, &v), 0);
}

TEST_F(BoardHw, PllStatusRegisterHoldsTheStraps)
{
    uint32_t v = 0;
    ASSERT_EQ(sysBusRead32(0xF00E0000, &v), 0);
    EXPECT_EQ(v, 0x0005000Au) << "platform 5:1, core 5:2";
    host::board().ccsr().setPorPllSr(0x00070020);
    sysBusWrite32(0xF00E0000, 0);
    sysBusRead32(0xF00E0000, &v);
    EXPECT_EQ(v, 0x00070020u) << "read-only";
    host::board().powerOn();
    sysBusRead32(0xF00E0000, &v);
    EXPECT_EQ(v, 0x0005000Au);
}

TEST_F(BoardHw, StuckDramBitHoldsItsValueForEveryWidth)
{
    auto& dram = host::board().dram();
    EXPECT_FALSE(dram.setStuckBit(0x102, 0, false)) << "not a word address";
    EXPECT_FALSE(dram.setStuckBit(0x10000000, 0, false));
    EXPECT_FALSE(dram.setStuckBit(0x100, 32, false));
    ASSERT_TRUE(dram.setStuckBit(0x100, 9, false)); // bit 1 of byte 0x102
    uint32_t v = 0;
    sysBusWrite32(0x100, 0xFFFFFFFFu);
    sysBusRead32(0x100, &v);
    EXPECT_EQ(v, 0xFFFFFDFFu);
    uint8_t b = 0;
    sysBusWrite8(0x102, 0xFF);
    sysBusRead8(0x102, &b);
    EXPECT_EQ(b, 0xFD);
    sysBusRead8(0x103, &b);
    EXPECT_EQ(b, 0xFF) << "other bytes unaffected";
    EXPECT_EQ(dram.base()[0x102], 0xFD) << "the cell itself holds the stuck value";

    ASSERT_TRUE(dram.setStuckBit(0x200, 31, true));
    host::board().powerOn();
    sysBusWrite32(0x200, 0);
    sysBusRead32(0x200, &v);
    EXPECT_EQ(v, 0x80000000u) << "a stuck bit survives power-on";
    dram.clearStuckBit();
    sysBusWrite32(0x200, 0);
    sysBusRead32(0x200, &v);
    EXPECT_EQ(v, 0u);
}

} // namespace
