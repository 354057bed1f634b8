// ds1338.h - the DS1338 real-time clock on the I2C bus.
//
// Registers 0-6 hold the time in BCD (seconds with the clock-halt bit 0x80,
// minutes, hours in 24-hour form or 12-hour form with bit 0x40 and the PM bit
// 0x20, day of the week, date, month, year 00-99); register 7 is the control
// register with the oscillator-stop flag 0x20; registers 8-63 are RAM. The
// register pointer wraps from 63 to 0. A start latches the time registers, so
// one read gives a consistent time.
//
// The time registers are BCD counters with fixed ranges (seconds and minutes
// 00-59, hours 00-23 or 01-12 with AM/PM, day 1-7, date 01 to the month's
// last, month 01-12, year 00-99). A write stores the register's bits as
// given (bits a register lacks read 0: minutes and hours bit 7, day bits
// 7-3, date bits 7-6, month bits 7-5), BCD or not; the chip then counts in
// BCD: a units digit of 9 or more carries into the tens digit and a value at
// or past the top of its range wraps to the bottom with a carry. So a value
// written in binary reads back as another number in BCD and goes wrong as
// the clock counts (binary 9 seconds, 0x09, is followed by 0x10).
//
// The oscillator is the platform clock (host::clockNowNs(), real or virtual):
// the registers hold the time at an anchor instant and advance by the whole
// seconds since. The chip never sets the system calendar itself. Its state is
// kept in DIR/rtc.bin with the host's wall-clock time of the anchor, so the
// time goes on running between runs as on the board's battery.
#pragma once

#include "host/board/i2cBus.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace host {

class Ds1338 : public I2cDevice {
public:
    static constexpr uint8_t kAddress = 0x68;
    static constexpr int kRegs = 64;
    static constexpr uint8_t kSecCh = 0x80;     // clock halt
    static constexpr uint8_t kHour12 = 0x40;    // 12-hour form
    static constexpr uint8_t kHourPm = 0x20;
    static constexpr int kControl = 7;
    static constexpr uint8_t kCtlOsf = 0x20;    // oscillator stopped
    static constexpr uint8_t kCtlMask = 0xB3;   // OUT, OSF, SQWE, RS1, RS0
    static constexpr int kCentury = 8;          // first RAM byte, as the system uses it

    using WallClockNs = std::function<int64_t()>;
    // wallNs: the host's wall clock (nanoseconds since 1970); the default is
    // the system clock. Tests pass their own.
    explicit Ds1338(WallClockNs wallNs = {});

    void powerOn(const std::string& path);
    // The registers as they read now (time brought up to date).
    std::array<uint8_t, kRegs> registers();

    void busStart() override;
    bool addressed(bool read) override;
    bool receive(uint8_t byte) override;
    uint8_t transmit() override;

private:
    void bringUpToDate();
    void save();
    void writeRegister(int r, uint8_t v);

    WallClockNs wallNs_;
    std::string path_;
    std::array<uint8_t, kRegs> reg_{};
    int64_t anchorNs_ = 0;   // platform time at which reg_[0..6] held exactly
    uint8_t latched_[7] = {};
    uint8_t ptr_ = 0;
    bool pointerNext_ = false;
};

} // namespace host
