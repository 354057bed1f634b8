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

} // namespace
