// Platform services: the memory pool, the calendar clock, delays and
// semaphores, the termination signal, the interrupt lock.
#include "host/os/hostos.h"
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

TEST_F(Platform, CalendarClockDelaysAndSemaphoresInVirtualTime)
{
    EXPECT_LT(vx::time(nullptr), 10u) << "1970 at power-on";
    std::tm t{};
    t.tm_year = 2008 - 1900, t.tm_mon = 3, t.tm_mday = 28, t.tm_hour = 14, t.tm_min = 5, t.tm_sec = 9;
    vx::Time secs = vx::mktime(&t);
    EXPECT_EQ(secs, 1209391509u);
    EXPECT_EQ(t.tm_wday, 1) << "a Monday";
    ASSERT_EQ(vx::clockSettime(secs, 0), 0);
    EXPECT_EQ(vx::clockSettime(1, 1000000000u), -1);
    uint32_t t0 = vx::tickGet();
    vx::taskDelay(vx::sysClkRateGet() * 61);
    vx::TimeSpec req{1, 500000000}, rem{9, 9};
    EXPECT_EQ(vx::nanosleep(&req, &rem), 0);
    EXPECT_EQ(vx::tickGet() - t0, 6250u);
    std::tm now{};
    vx::Time n = vx::time(nullptr);
    vx::localtime_r(&n, &now);
    EXPECT_EQ(now.tm_min * 60 + now.tm_sec, 6 * 60 + 11) << "the calendar runs with the ticks";
    vx::SEM_ID s = vx::semBCreate(vx::SEM_Q_FIFO, vx::SEM_FULL);
    EXPECT_EQ(vx::semTake(s, vx::WAIT_FOREVER), 0);
    EXPECT_EQ(vx::semTake(s, vx::NO_WAIT), -1);
    t0 = vx::tickGet();
    EXPECT_EQ(vx::semTake(s, 30), -1);
    EXPECT_EQ(vx::tickGet() - t0, 30u) << "a timed take lets its time pass";
    EXPECT_EQ(vx::semGive(s), 0);
    EXPECT_EQ(vx::semTake(s, 30), 0);
    vx::semDelete(s);
}

int termCalls = 0;
void onTerm(int) { ++termCalls; }

TEST_F(Platform, TerminationSignalAndInterruptLock)
{
    EXPECT_EQ(vx::signal(vx::SIG_TERM, onTerm), nullptr);
    host::signalDeliver(15);
    int old = vx::sigsetmask(1 << 14);
    host::signalDeliver(15);
    EXPECT_EQ(termCalls, 1) << "held while masked";
    vx::sigsetmask(old);
    EXPECT_EQ(termCalls, 2) << "delivered when unmasked";
    EXPECT_EQ(vx::signal(vx::SIG_TERM, nullptr), onTerm);
    int key = vx::intLock();
    EXPECT_EQ(vx::vxMsrGet() & (vx::MSR_EE | vx::MSR_CE), 0u);
    vx::intUnlock(key);
    EXPECT_EQ(vx::vxMsrGet() & (vx::MSR_EE | vx::MSR_CE), vx::MSR_EE | vx::MSR_CE);
}

} // namespace
