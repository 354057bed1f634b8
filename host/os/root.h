// root.h - starting the platform: the board process's root task, and the
// in-process platform of the unit tests.
#pragma once

#include "host/board/norFlash.h"
#include "host/os/console/console.h"

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// Fault injection: a DRAM bit held stuck (see Dram::setStuckBit).
struct DramFault {
    bool active = false;
    uint32_t addr = 0;
    int bit = 0;
    bool value = false;
};

struct BoardRunConfig {
    std::string dir;                    // the board directory
    ConsoleOptions console;
    uint64_t powerCutAfterWrites = 0;   // fault injection, 0 = off
    uint64_t writeErrorAt = 0;          // fault injection: the Nth file write fails, 0 = off
    uint64_t renameErrorAt = 0;         // fault injection: the Nth rename fails, 0 = off
    std::vector<uint8_t> i2cSilent;     // fault injection: I2C addresses that never acknowledge
    bool i2cBusHeld = false;            // fault injection: the I2C bus held busy by another master
    DramFault dramFault;
    NorFlash::Faults flashFaults;       // fault injection in the boot flash
};

// Board process: power-on, platform services, then bootMain. Never returns.
[[noreturn]] void runBoardProcess(int consoleFd, const BoardRunConfig& cfg);

// Creates a board directory with factory contents where it has none, and
// checks that the board can write what it keeps there. Returns false (with a
// message on stderr) when it cannot.
bool boardDirPrepare(const std::string& dir);
// Locks the board directory (DIR/tarnboot.lock) for the life of this process,
// so that one tarnboot runs a board at a time. False, with a message on stderr
// naming the holder's process id, when another one has it.
constexpr const char* kBoardLockFile = "tarnboot.lock";
bool boardDirClaim(const std::string& dir);

// Unit tests: virtual clock, scripted console, resets and hand-overs thrown as
// exceptions, the volume of dir mounted. The caller enters directories itself.
void platformStartForTest(const std::string& dir, ScriptedPeer* peer);
void platformStopForTest();

} // namespace host
