// hostos.h - internal contracts between the parts of the host platform (host/os).
//
// The system code sees only os/vxworks/osapi; this header ties together the host
// pieces that implement it: clock, console, files, memory, reset and the root task.
#pragma once

#include <cstdint>
#include <string>

namespace host {

// ---- Process exit codes -------------------------------------------------------
// The board runs in a child process of the tarnboot process (the supervisor),
// which owns the console attachment. The child reports how the board ended.
enum BoardExit : int {
    kExitHandover = 0,   // code entered (DIR/handover written) - tarnboot exits 0
    kExitDeadBoard = 4,  // boot region erased at power-on - tarnboot exits 4
    kExitReset = 64,     // reset register, Ctrl-] r, SIGUSR1 - restart (or exit 3)
    kExitPowerCycle = 65,// Ctrl-] p, SIGUSR2 - restart (or exit 3)
    kExitQuit = 66,      // Ctrl-] q - tarnboot exits 0
    kExitPowerCut = 67,  // fault injection cut the power - tarnboot exits 5
};

// tarnboot's own exit statuses.
enum ProcessStatus : int {
    kStatusOk = 0,
    kStatusHostError = 1,
    kStatusUsage = 2,
    kStatusResetExit = 3,
    kStatusDeadBoard = 4,
    kStatusPowerCut = 5,
};

// ---- Clock (clock.cpp) -----------------------------------------------------------
// Monotonic board time since power-on, real or virtual. In virtual mode (unit
// tests) every sleep and timed wait advances the time at once.
void clockInit(bool virtualMode);
bool clockIsVirtual();
uint64_t clockNowNs();
void clockSleepNs(uint64_t ns);
void clockAdvanceNs(uint64_t ns); // virtual mode only

// ---- Console (console*.cpp) --------------------------------------------------------
// The tty device behind descriptors 0-2.
int32_t consoleRead(void* buf, size_t n);
int32_t consoleWrite(const void* buf, size_t n);

// ---- Files (files*.cpp) -----------------------------------------------------------
struct VolumeConfig {
    std::string root;                 // host directory of "/DskVol/", e.g. DIR/DskVol
    uint32_t clusterBytes = 2048;
    uint32_t clusters = 15079;        // what the format of the 30 MiB flash disk gives (tffs.cpp)
};
void filesInit(const VolumeConfig& cfg);
// The flash disk stand-in (tffs.cpp): a format empties the volume directory
// (descriptors closed, volume unmounted); a mount of a formatted flash disk
// sets the volume's capacity. 0 or a vx::E_* error number.
int filesVolumeFormat();
int filesVolumeMount(const char* volume, uint32_t clusters);
void filesVolumeUnmount();
// Fault injection: the Nth write call from now on cuts the power before it is done
// (0 disables).
void filesSetPowerCutAfterWrites(uint64_t n);
// Fault injection: the Nth write call from now on fails with E_IO, storing
// nothing; the Nth rename (or replace) fails with E_IO, both names left as
// they were (0 disables).
void filesSetWriteErrorAt(uint64_t n);
void filesSetRenameErrorAt(uint64_t n);

// ---- Reset and power ----------------------------------------------------------------
// How a board reset ends this run: in the board process it exits with kExitReset;
// in unit tests it throws BoardResetRequested.
struct BoardResetRequested {};
struct PowerCutRequested {
    std::string why;
};
struct HandoverRequested {
    std::string line;
};
enum class ResetMode { ExitProcess, Throw };
void resetModeSet(ResetMode mode);
[[noreturn]] void boardReset();
// Ends the process at once, as a power loss would (fault injection).
[[noreturn]] void powerCut(const char* why);
// A task that suspended itself for good (a halted board): in unit tests the
// suspension throws this.
struct TaskSuspended {};
[[noreturn]] void taskSuspendForGood();
// Entering loaded code: writes DIR/handover and the same line on the host's
// standard error, then ends the run with kExitHandover.
[[noreturn]] void handover(const std::string& line);

// ---- Flash disk (tffs.cpp) ------------------------------------------------------------
// The operating system's start of TrueFFS: forgets registrations and calls the
// board support's sysTffsInit.
void tffsStart();
// The clusters of the DOS volume a format gives (VolumeConfig's default is
// that of the board's flash disk).
uint32_t tffsVolumeClusters(uint32_t unitSize, uint32_t units, uint32_t spareUnits, uint32_t percentUse,
                            uint32_t clusterBytes);

// ---- Memory, interrupts, signals --------------------------------------------------
void memoryInit();               // empty pool over the upper DRAM range
void intContextSet(bool inIsr);  // tests: pretend to run in an interrupt
void signalsReset();
void signalDeliver(int sig);     // a host signal reaching the boot task
// From a host signal handler (async-signal-safe): with a handler installed the
// signal waits for the boot task's next safe point (a console wait, which it
// wakes); without one the default action ends the process at once.
void signalRaiseFromHost(int sig);
bool signalPending();            // raised from the host, not yet delivered
void signalPoll();               // the boot task at a safe point: delivers it
int signalWakeFd();              // readable while a raised signal waits (or -1)

} // namespace host
