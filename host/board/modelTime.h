// modelTime.h - the time the chip models take, on the board clock.
//
// Every duration a chip takes (an I2C byte at its controller's rate, a CP
// command, an EEPROM write cycle) elapses on the board clock
// (host::clockNowNs): a driver that polls and a driver that sleeps both see
// the chip finish when the chip would.
//
// Under the virtual clock of the unit tests a chip takes its full documented
// time, and time moves only by fixed costs: an access to a chip model's
// registers costs kRegisterAccessNs; a poll - a read of a chip's status
// register that finds the chip busy - costs kPollNs (the access and the short
// pause a driver makes between two polls); a delay of N ticks costs N ticks;
// a zero-tick delay costs nothing. So a driver sees a chip finish after a
// fixed number of polls and every run is the same.
//
// The tarnboot binary runs on the host's real clock and divides every chip
// duration by kBinaryTimeDivisor, so a bus at its slowest divider still adds
// only milliseconds to a start-up.
#pragma once

#include <cstdint>

namespace host {

constexpr uint64_t kRegisterAccessNs = 1000;  // one guarded load or store and its barrier
constexpr uint64_t kPollNs = 10000;
constexpr uint64_t kBinaryTimeDivisor = 100;

// Board time now (ns since power-on).
uint64_t modelNowNs();
// A chip's documented duration as it elapses on this board clock.
uint64_t modelChipNs(uint64_t ns);
// Charges one access to a chip model's registers, or one poll of a busy
// chip's status (virtual clock only).
void modelRegisterAccess();
void modelPoll();

// A chip's busy period: from start() until the board clock passes its end.
class ModelBusy {
public:
    void start(uint64_t chipNs) { end_ = modelNowNs() + modelChipNs(chipNs), running_ = true; }
    void clear() { running_ = false; }
    bool running() const { return running_; }
    // Running and its time not yet over.
    bool busy() const { return running_ && modelNowNs() < end_; }
    // Running and its time over (the chip has finished, not yet collected).
    bool due() const { return running_ && modelNowNs() >= end_; }

private:
    uint64_t end_ = 0;
    bool running_ = false;
};

} // namespace host
