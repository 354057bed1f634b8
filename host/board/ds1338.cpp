// ds1338.cpp - the real-time clock model.
#include "host/board/ds1338.h"

#include "host/board/persist.h"
#include "host/os/hostos.h"

#include <chrono>

namespace host {
namespace {

constexpr int64_t kNsPerSec = 1000000000;
constexpr size_t kFileSize = Ds1338::kRegs + 8; // registers, then the anchor's wall time (big-endian ns)

int fromBcd(uint8_t v) { return (v >> 4) * 10 + (v & 0x0F); }
uint8_t toBcd(int v) { return uint8_t((v / 10) << 4 | (v % 10)); }

// Days since 1970-01-01 of a proleptic Gregorian date (the chip's leap rule,
// every fourth year, agrees with it for 2000-2099).
int64_t daysFromCivil(int64_t y, int m, int d)
{
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(int64_t z, int64_t& y, int& m, int& d)
{
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    d = int(doy - (153 * mp + 2) / 5 + 1);
    m = int(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2);
}

int64_t clampInt(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : v; }

// The time registers as seconds from 2000-01-01 on the chip's calendar.
int64_t registersToSeconds(const uint8_t* r, int64_t& days)
{
    int sec = fromBcd(r[0] & 0x7F), min = fromBcd(r[1] & 0x7F);
    int hour;
    if (r[2] & Ds1338::kHour12) {
        hour = fromBcd(r[2] & 0x1F) % 12 + ((r[2] & Ds1338::kHourPm) ? 12 : 0);
    } else {
        hour = fromBcd(r[2] & 0x3F);
    }
    int date = int(clampInt(fromBcd(r[4] & 0x3F), 1, 31));
    int month = int(clampInt(fromBcd(r[5] & 0x1F), 1, 12));
    int year = fromBcd(r[6]);
    days = daysFromCivil(2000 + year, month, 1) + date - 1;
    return days * 86400 + hour * 3600 + min * 60 + sec;
}

void secondsToRegisters(int64_t t, uint8_t* r)
{
    int64_t days = t / 86400, rest = t % 86400;
    int64_t y;
    int m, d;
    civilFromDays(days, y, m, d);
    int hour = int(rest / 3600);
    r[0] = uint8_t((r[0] & Ds1338::kSecCh) | toBcd(int(rest % 60)));
    r[1] = toBcd(int(rest / 60 % 60));
    if (r[2] & Ds1338::kHour12) {
        int h12 = hour % 12 == 0 ? 12 : hour % 12;
        r[2] = uint8_t(Ds1338::kHour12 | (hour >= 12 ? Ds1338::kHourPm : 0) | toBcd(h12));
    } else {
        r[2] = toBcd(hour);
    }
    r[4] = toBcd(d);
    r[5] = toBcd(m);
    r[6] = toBcd(int((y - 2000) % 100));
}

int64_t systemWallNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
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
        // The battery kept the oscillator going while the board was off.
        int64_t off = wallNs_() - savedWall;
        if (off < 0 || (reg_[0] & kSecCh)) off = 0;
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
    int64_t days0;
    int64_t t = registersToSeconds(reg_.data(), days0) + whole;
    secondsToRegisters(t, reg_.data());
    int64_t dayStep = t / 86400 - days0;
    if (dayStep > 0 && reg_[3] >= 1 && reg_[3] <= 7) reg_[3] = uint8_t((reg_[3] - 1 + dayStep) % 7 + 1);
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
        reg_[r] = v;
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
