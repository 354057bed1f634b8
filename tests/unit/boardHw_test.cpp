// Board model: PCI configuration cycles, the L2 controller, the PLL straps and
// the DRAM stuck-bit fault, as software reaches them through the bus.
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
    void TearDown() override { host::board().dram().clearStuckBit(), host::board().powerOn(); }
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

TEST_F(BoardHw, L2AndPllRegisters)
{
    // {address, value written, value read back}: L2 size fixed, PLL status read-only.
    struct {
        uint32_t addr, write, read;
    } steps[] = {{0xF0020000, 0xC8000000u, 0xA8000000u}, {0xF0020000, 0, 0x20000000u},
                 {0xF0020100, 0xFFFFFFFFu, 0xFFFFC000u}, {0xF00E0000, 0, 0x0005000Au}};
    EXPECT_EQ(rd(0xF0020000), 0x20000000u) << "256 KiB, disabled at reset";
    for (const auto& s : steps) {
        sysBusWrite32(s.addr, s.write);
        EXPECT_EQ(rd(s.addr), s.read) << std::hex << s.addr;
    }
    uint32_t v;
    uint8_t b;
    EXPECT_NE(sysBusRead8(0xF0020000, &b) & sysBusRead32(0xF0020004, &v), 0) << "32-bit registers only";
    host::board().ccsr().setPorPllSr(0x00070020);
    EXPECT_EQ(rd(0xF00E0000), 0x00070020u) << "other straps";
    host::board().powerOn();
    EXPECT_EQ(rd(0xF00E0000), 0x0005000Au) << "platform 5:1, core 5:2";
}

TEST_F(BoardHw, StuckDramBitHoldsItsValueForEveryWidth)
{
    auto& dram = host::board().dram();
    EXPECT_FALSE(dram.setStuckBit(0x102, 0, false) || dram.setStuckBit(0x10000000, 0, false) ||
                 dram.setStuckBit(0x100, 32, false)) << "not a word address, beyond DRAM, no such bit";
    ASSERT_TRUE(dram.setStuckBit(0x100, 9, false)); // bit 1 of byte 0x102
    EXPECT_EQ((sysBusWrite32(0x100, 0xFFFFFFFFu), rd(0x100)), 0xFFFFFDFFu);
    uint8_t b[2] = {};
    sysBusWrite8(0x102, 0xFF);
    EXPECT_EQ((sysBusRead8(0x102, &b[0]), sysBusRead8(0x103, &b[1]), b[0] << 8 | b[1]), 0xFDFF) << "one byte only";
    EXPECT_EQ(dram.base()[0x102], 0xFD) << "the cell itself holds the stuck value";
    ASSERT_TRUE(dram.setStuckBit(0x200, 31, true));
    host::board().powerOn();
    EXPECT_EQ((sysBusWrite32(0x200, 0), rd(0x200)), 0x80000000u) << "a stuck bit survives power-on";
    dram.clearStuckBit();
    EXPECT_EQ((sysBusWrite32(0x200, 0), rd(0x200)), 0u);
}

} // namespace
