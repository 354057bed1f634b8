// root.h - starting the platform: the board process's root task, and the
// in-process platform of the unit tests.
#pragma once

#include "host/board/norFlash.h"
#include "host/os/console.h"

#include <cstdint>
#include <string>

namespace host {

struct BoardRunConfig {
    std::string dir;                    // the board directory
    ConsoleOptions console;
    uint64_t powerCutAfterWrites = 0;   // fault injection, 0 = off
    NorFlash::Faults flashFaults;       // fault injection in the boot flash
};

// Board process: power-on, platform services, then bootMain. Never returns.
[[noreturn]] void runBoardProcess(int consoleFd, const BoardRunConfig& cfg);

// Creates a board directory with factory contents where it has none.
// Returns false (with a message on stderr) when it cannot.
bool boardDirPrepare(const std::string& dir);

// Unit tests: virtual clock, scripted console, resets and hand-overs thrown as
// exceptions, the volume of dir mounted. The caller enters directories itself.
void platformStartForTest(const std::string& dir, ScriptedPeer* peer);
void platformStopForTest();

} // namespace host
