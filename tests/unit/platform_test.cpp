// Platform services: the memory pool. (The calendar is met through the clock's
// tests, delays through the transfer timeouts, the termination signal through
// the transfer's kill and the system signal tests.)
#include "osapi.h"
#include "support/testBoard.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class Platform : public TestBoard {};

TEST_F(Platform, MemoryPoolLivesInUpperDramAndCoalesces)
{
    size_t max0 = vx::memFindMax();
    EXPECT_GE(max0, size_t(190) << 20);
    void* a = vx::malloc(1000);
    void* b = vx::malloc(16 << 20);
    ASSERT_TRUE(a && b);
    EXPECT_GE(vx::ptrToBoardAddr(a), 0x04000000u) << "never in the code load area";
    EXPECT_EQ(vx::boardAddrToPtr(vx::ptrToBoardAddr(b), 16 << 20), b);
    std::memset(b, 0xA5, 16 << 20);
    vx::free(b);
    vx::free(a);
    EXPECT_EQ(vx::memFindMax(), max0) << "freed blocks merge back into one";
    EXPECT_EQ(vx::malloc(max0 + 1), nullptr);
    void* all = vx::malloc(max0);
    EXPECT_EQ(vx::malloc(64), nullptr) << "exhausted";
    vx::free(all);
    EXPECT_EQ(vx::calloc(SIZE_MAX / 2, 4), nullptr) << "overflowing size";
    EXPECT_EQ(vx::boardAddrToPtr(0x0FFFFFFF, 2), nullptr);
}

} // namespace
