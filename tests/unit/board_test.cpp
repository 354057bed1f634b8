// Board model: bus decoding, DRAM, the configuration block and the reset register.
#include "host/board/board.h"
#include "host/os/hostos.h"
#include "sysBus.h"

#include <gtest/gtest.h>

namespace {

class FakeDevice : public host::BusDevice {
public:
    bool read(uint32_t offset, int width, uint32_t& value) override
    {
        value = offset * 16 + uint32_t(width);
        return offset < 0x10;
    }
    bool write(uint32_t offset, int, uint32_t value) override
    {
        last = value;
        return offset < 0x10;
    }
    uint32_t last = 0;
};

TEST(Bus, DecodesWindowsAndReportsBusErrors)
{
    host::PhysicalBus bus;
    FakeDevice a, b;
    bus.map(0x1000, 0x100, &a, "a");
    bus.map(0x2000, 0x10, &b, "b");
    EXPECT_THROW(bus.map(0x10F0, 0x20, &b, "overlap"), std::logic_error);
    uint32_t v = 0;
    EXPECT_TRUE(bus.read(0x1004, 4, v));
    EXPECT_EQ(v, 4u * 16 + 4);
    EXPECT_FALSE(bus.read(0x1020, 4, v)) << "device refused the offset";
    EXPECT_FALSE(bus.read(0x3000, 4, v)) << "no device";
    EXPECT_FALSE(bus.read(0x1002, 4, v)) << "misaligned";
    EXPECT_FALSE(bus.read(0x200E, 4, v)) << "straddles the end of a window";
    EXPECT_FALSE(bus.read(0x1000, 3, v)) << "no such width";
    EXPECT_TRUE(bus.write(0x2004, 2, 0xBEEF));
    EXPECT_EQ(b.last, 0xBEEFu);
}

TEST(BoardModel, DramIsBigEndianAndBoundsChecked)
{
    auto& bd = host::board();
    bd.powerOn();
    ASSERT_EQ(sysBusWrite32(0x100, 0x11223344), 0);
    uint8_t b0 = 0;
    uint16_t h = 0;
    ASSERT_EQ(sysBusRead8(0x100, &b0), 0);
    ASSERT_EQ(sysBusRead16(0x102, &h), 0);
    EXPECT_EQ(b0, 0x11);
    EXPECT_EQ(h, 0x3344);
    EXPECT_EQ(bd.dram().view(0x0FFFFFFC, 4), bd.dram().base() + 0x0FFFFFFC);
    EXPECT_EQ(bd.dram().view(0x0FFFFFFD, 4), nullptr);
    EXPECT_EQ(bd.dram().view(0xFFFFFFF0, 0x20), nullptr) << "wrapping range";
    uint32_t v = 0x5A5A5A5A;
    EXPECT_EQ(sysBusRead32(0x20000000, &v), -1);
    EXPECT_EQ(v, 0x5A5A5A5Au) << "a bus error leaves the value alone";
    uint32_t rev = 0;
    ASSERT_EQ(sysBusRead32Rev(0x100, &rev), 0);
    EXPECT_EQ(rev, 0x44332211u);
}

TEST(BoardModel, ConfigurationBlockRegisters)
{
    auto& bd = host::board();
    bd.powerOn();
    uint32_t v = 0;
    ASSERT_EQ(sysBusRead32(0xF00E0000, &v), 0);
    EXPECT_EQ((v >> 1) & 0x1F, 5u) << "platform ratio";
    EXPECT_EQ((v >> 16) & 0x3F, 5u) << "core ratio 5:2";
    ASSERT_EQ(sysBusWrite32(0xF0001230, 0xCAFEF00D), 0);
    uint8_t b = 0;
    ASSERT_EQ(sysBusRead8(0xF0001231, &b), 0);
    EXPECT_EQ(b, 0xFE);
    ASSERT_EQ(sysBusWrite8(0xF0001233, 0x55), 0);
    ASSERT_EQ(sysBusRead32(0xF0001230, &v), 0);
    EXPECT_EQ(v, 0xCAFEF055u);
    EXPECT_EQ(bd.platformClockHz(), 330000000u);
}

TEST(BoardModel, ResetRegisterResetsTheBoard)
{
    host::resetModeSet(host::ResetMode::Throw);
    EXPECT_THROW(sysBusWrite32(RESET_REG, 0), host::BoardResetRequested);
    EXPECT_THROW(sysOut32(0x30000000, 1), host::BoardResetRequested) << "machine check";
}

} // namespace
