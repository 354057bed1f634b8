// ds1338.cpp - the real-time clock model.
#include "host/board/ds1338.h"

#include "host/board/persist.h"
#include "host/os/hostos.h"

#include <ctime>

namespace host {
namespace {

constexpr int64_t kNsPerSec = 1000000000;
constexpr size_t kFileSize = Ds1338::kRegs + 8; // registers, then the anchor's wall time (big-endian ns)

int fromBcd(uint8_t v) { return (v >> 4) * 10 + (v & 0x0F); }
uint8_t toBcd(int v) { return uint8_t((v / 10) << 4 | (v % 10)); }

// Bits each time register has (the others read 0).
constexpr uint8_t kRegMask[7] = {0xFF, 0x7F, 0x7F, 0x07, 0x3F, 0x1F, 0xFF};

bool validBcd(uint8_t v, uint8_t lo, uint8_t hi) { return (v & 0x0F) <= 9 && v >= lo && v <= hi; }

// One count of a BCD counter running lo..hi; true when it wraps (a carry).
// Off its range it counts on as the chip's counters do: a units digit of 9
// or more carries into the tens, and a value at or past hi wraps to lo.
bool bcdStep(uint8_t& v, uint8_t lo, uint8_t hi)
{
    if (v >= hi) {
        v = lo;
        return true;
    }
    v = (v & 0x0F) >= 9 ? uint8_t((v & 0xF0) + 0x10) : uint8_t(v + 1);
    return false;
}

// k counts of the counter; returns its carries.
uint64_t bcdAdvance(uint8_t& v, uint8_t lo, uint8_t hi, uint64_t k)
{
    uint64_t carries = 0;
    for (; k > 0 && !validBcd(v, lo, hi); --k) carries += bcdStep(v, lo, hi);
    if (k == 0) return carries;
    uint64_t span = uint64_t(fromBcd(hi) - fromBcd(lo) + 1), pos = uint64_t(fromBcd(v) - fromBcd(lo)) + k;
    v = toBcd(int(fromBcd(lo) + pos % span));
    return carries + pos / span;
}

// One hour of the hours register; true when the day carries.
bool hourStep(uint8_t& r)
{
    if (!(r & Ds1338::kHour12)) {
        uint8_t h = r & 0x3F;
        bool carry = bcdStep(h, 0x00, 0x23);
        r = h;
        return carry;
    }
    uint8_t h = r & 0x1F;
    bool pm = r & Ds1338::kHourPm, carry = false;
    if (h == 0x11) { // 11 to 12 turns AM to PM or PM to the next day
        h = 0x12;
        carry = pm;
        pm = !pm;
    } else {
        bcdStep(h, 0x01, 0x12);
    }
    r = uint8_t(Ds1338::kHour12 | (pm ? Ds1338::kHourPm : 0) | h);
    return carry;
}

// One day: the day of the week, the date (the month's length from the month
// and year registers read as BCD: 31 days for a month off its range; every
// fourth year a leap year), the month, the year.
void dayStep(uint8_t* r)
{
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bcdStep(r[3], 0x01, 0x07);
    int month = fromBcd(r[5]);
    int days = month >= 1 && month <= 12 ? kDays[month - 1] : 31;
    if (month == 2 && fromBcd(r[6]) % 4 == 0) days = 29;
    if (!bcdStep(r[4], 0x01, toBcd(days))) return;
    if (bcdStep(r[5], 0x01, 0x12)) bcdStep(r[6], 0x00, 0x99);
}

// The time registers counted on by whole seconds, as the chip counts them.
void countSeconds(uint8_t* r, uint64_t seconds)
{
    uint8_t sec = r[0] & 0x7F;
    uint64_t minutes = bcdAdvance(sec, 0x00, 0x59, seconds);
    r[0] = uint8_t((r[0] & Ds1338::kSecCh) | sec);
    uint64_t hours = bcdAdvance(r[1], 0x00, 0x59, minutes);
    for (; hours > 0; --hours) {
        if (hourStep(r[2])) dayStep(r);
    }
}

// clock_gettime itself rather than std::chrono's system clock: the C++ runtime
// of a 32-bit target may be built with a 32-bit time_t, which ends in 2038.
int64_t systemWallNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

int64_t platformNs() { return int64_t(clockNowNs()); }

} // namespace

Ds1338::Ds1338(WallClockNs wallNs) : wallNs_(wallNs ? std::move(wallNs) : WallClockNs(systemWallNs)) {}

void Ds1338::powerOn(const std::string& path)
{
    path_ = path;
    ptr_ = 0;
    pointerNext_ = false;
    uint8_t file[kFileSize];
    if (persistLoad(path_, file, sizeof file)) {
        for (int i = 0; i < kRegs; ++i) reg_[i] = file[i];
        int64_t savedWall = 0;
        for (int i = 0; i < 8; ++i) savedWall = savedWall << 8 | file[kRegs + i];
        // The battery kept the oscillator going while the board was off. A
        // saved time before 1970 or after now (a damaged file, a clock set
        // back) counts as no time off.
        int64_t now = wallNs_();
        int64_t off = savedWall < 0 || savedWall > now || (reg_[0] & kSecCh) ? 0 : now - savedWall;
        anchorNs_ = platformNs() - off;
        bringUpToDate();
    } else {
        // A new chip: halted at 01/01/00 00:00:00, oscillator-stop flag set,
        // the century byte 20 laid down by the factory.
        reg_.fill(0);
        reg_[0] = kSecCh;
        reg_[3] = 1;
        reg_[4] = 1;
        reg_[5] = 1;
        reg_[kControl] = 0x80 | kCtlOsf | 0x03;
        reg_[kCentury] = 20;
        anchorNs_ = platformNs();
        save();
    }
}

void Ds1338::bringUpToDate()
{
    int64_t now = platformNs();
    if (reg_[0] & kSecCh) {
        anchorNs_ = now; // halted: time does not move
        return;
    }
    int64_t whole = (now - anchorNs_) / kNsPerSec;
    if (whole <= 0) return;
    countSeconds(reg_.data(), uint64_t(whole));
    anchorNs_ += whole * kNsPerSec;
}

std::array<uint8_t, Ds1338::kRegs> Ds1338::registers()
{
    bringUpToDate();
    return reg_;
}

void Ds1338::save()
{
    uint8_t file[kFileSize];
    for (int i = 0; i < kRegs; ++i) file[i] = reg_[i];
    int64_t wall = wallNs_() - (platformNs() - anchorNs_);
    for (int i = 0; i < 8; ++i) file[kRegs + i] = uint8_t(uint64_t(wall) >> (56 - 8 * i));
    persistStore(path_, 0, file, sizeof file);
}

void Ds1338::busStart()
{
    bringUpToDate();
    for (int i = 0; i < 7; ++i) latched_[i] = reg_[i];
}

bool Ds1338::addressed(bool read)
{
    pointerNext_ = !read;
    return true;
}

void Ds1338::writeRegister(int r, uint8_t v)
{
    bringUpToDate();
    int64_t now = platformNs();
    if (r == 0) {
        bool wasHalted = reg_[0] & kSecCh;
        reg_[0] = v;
        if (v & kSecCh) {
            if (!wasHalted) reg_[kControl] |= kCtlOsf;
        }
        anchorNs_ = now; // writing the seconds resets the divider chain
    } else if (r == kControl) {
        reg_[kControl] = uint8_t((v & kCtlMask & ~kCtlOsf) | (reg_[kControl] & v & kCtlOsf));
    } else {
        reg_[r] = r < 7 ? uint8_t(v & kRegMask[r]) : v;
    }
    save();
}

bool Ds1338::receive(uint8_t byte)
{
    if (pointerNext_) {
        ptr_ = byte % kRegs;
        pointerNext_ = false;
        return true;
    }
    writeRegister(ptr_, byte);
    ptr_ = uint8_t((ptr_ + 1) % kRegs);
    return true;
}

uint8_t Ds1338::transmit()
{
    uint8_t b = ptr_ < 7 ? latched_[ptr_] : reg_[ptr_];
    ptr_ = uint8_t((ptr_ + 1) % kRegs);
    return b;
}

} // namespace host
