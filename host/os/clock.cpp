// clock.cpp - board time: the monotonic tick base (real or virtual), the
// system calendar clock, task delays and sleeps.
#include "host/os/hostos.h"
#include "osapi.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace host {
namespace {

constexpr int kTicksPerSecond = 100;
constexpr uint64_t kNsPerTick = 1000000000ull / kTicksPerSecond;

class BoardClock {
public:
    void init(bool virtualMode)
    {
        virtual_ = virtualMode;
        virtualNs_ = 0;
        start_ = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> g(calMutex_);
        calBaseSec_ = 0;
        calBaseNs_ = 0;
        calSetAtNs_ = 0;
    }
    bool isVirtual() const { return virtual_; }
    uint64_t nowNs() const
    {
        if (virtual_) return virtualNs_.load();
        return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now() - start_).count());
    }
    void sleepNs(uint64_t ns)
    {
        if (virtual_) {
            virtualNs_ += ns;
            return;
        }
        if (ns == 0)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
    }
    void advance(uint64_t ns)
    {
        if (virtual_) virtualNs_ += ns;
    }
    // The calendar reads 1970 at power-on and runs with the tick clock from
    // the last time it was set.
    void calendarSet(uint64_t sec, uint64_t nsec)
    {
        std::lock_guard<std::mutex> g(calMutex_);
        calBaseSec_ = sec;
        calBaseNs_ = nsec;
        calSetAtNs_ = nowNs();
    }
    uint64_t calendarSec() const
    {
        std::lock_guard<std::mutex> g(calMutex_);
        uint64_t ns = calBaseNs_ + (nowNs() - calSetAtNs_);
        return calBaseSec_ + ns / 1000000000ull;
    }

private:
    bool virtual_ = false;
    std::atomic<uint64_t> virtualNs_{0};
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    mutable std::mutex calMutex_;
    uint64_t calBaseSec_ = 0, calBaseNs_ = 0, calSetAtNs_ = 0;
};

BoardClock& boardClock()
{
    static BoardClock clock;
    return clock;
}

} // namespace

void clockInit(bool virtualMode) { boardClock().init(virtualMode); }
bool clockIsVirtual() { return boardClock().isVirtual(); }
uint64_t clockNowNs() { return boardClock().nowNs(); }
void clockSleepNs(uint64_t ns) { boardClock().sleepNs(ns); }
void clockAdvanceNs(uint64_t ns) { boardClock().advance(ns); }

} // namespace host

namespace vx {

int sysClkRateGet() { return host::kTicksPerSecond; }

uint32_t tickGet() { return uint32_t(host::clockNowNs() / host::kNsPerTick); }

int taskDelay(int32_t ticks)
{
    host::clockSleepNs(ticks > 0 ? uint64_t(ticks) * host::kNsPerTick : 0);
    return OK;
}

int nanosleep(const TimeSpec* req, TimeSpec* rem)
{
    if (!req || req->tv_sec < 0 || req->tv_nsec < 0 || req->tv_nsec >= 1000000000) {
        errnoSet(E_INVAL);
        return ERROR;
    }
    host::clockSleepNs(uint64_t(req->tv_sec) * 1000000000ull + uint64_t(req->tv_nsec));
    if (rem) *rem = TimeSpec{0, 0};
    return OK;
}

Time time(Time* out)
{
    Time t = Time(host::boardClock().calendarSec());
    if (out) *out = t;
    return t;
}

Time mktime(std::tm* tm)
{
    // Days from civil (proleptic Gregorian), normalising month overflow.
    int64_t year = int64_t(tm->tm_year) + 1900;
    int64_t mon = tm->tm_mon;
    year += mon / 12;
    mon %= 12;
    if (mon < 0) {
        mon += 12;
        year -= 1;
    }
    int64_t y = year - (mon < 2 ? 1 : 0);
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t mp = (mon + 10) % 12; // months counted from March
    int64_t doy = (153 * mp + 2) / 5 + tm->tm_mday - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    int64_t days = era * 146097 + doe - 719468;
    int64_t secs = days * 86400 + int64_t(tm->tm_hour) * 3600 + int64_t(tm->tm_min) * 60 + tm->tm_sec;
    if (secs < 0 || secs > int64_t(UINT32_MAX)) return Time(-1);
    Time t = Time(secs);
    localtime_r(&t, tm); // normalise the fields and fill week and year days
    return t;
}

int localtime_r(const Time* t, std::tm* out)
{
    int64_t secs = *t;
    int64_t days = secs / 86400;
    int64_t rem = secs % 86400;
    *out = std::tm{};
    out->tm_hour = int(rem / 3600);
    out->tm_min = int(rem % 3600 / 60);
    out->tm_sec = int(rem % 60);
    out->tm_wday = int((days + 4) % 7); // 1 Jan 1970 was a Thursday
    int64_t z = days + 719468;
    int64_t era = z / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t d = doy - (153 * mp + 2) / 5 + 1;
    int64_t m = mp < 10 ? mp + 3 : mp - 9;
    int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    out->tm_year = int(y - 1900);
    out->tm_mon = int(m - 1);
    out->tm_mday = int(d);
    static const int cum[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    out->tm_yday = cum[m - 1] + int(d) - 1 + ((leap && m > 2) ? 1 : 0);
    return OK;
}

int clockSettime(uint32_t sec, uint32_t nsec)
{
    if (nsec >= 1000000000u) {
        errnoSet(E_INVAL);
        return ERROR;
    }
    host::boardClock().calendarSet(sec, nsec);
    return OK;
}

} // namespace vx
