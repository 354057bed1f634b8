// reset.cpp - how a run of the board ends: reset, power cut, hand-over.
#include "host/board/board.h"
#include "host/os/hostos.h"
#include "osapi.h"

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace host {
namespace {
ResetMode resetMode = ResetMode::ExitProcess;
}

void resetModeSet(ResetMode mode) { resetMode = mode; }

void boardReset()
{
    if (resetMode == ResetMode::Throw) throw BoardResetRequested{};
    vx::fflushStdout();
    _exit(kExitReset);
}

void powerCut(const char* why)
{
    if (resetMode == ResetMode::Throw) throw PowerCutRequested{why};
    std::fprintf(stderr, "tarnboot: power cut (%s)\n", why);
    _exit(kExitPowerCut);
}

void taskSuspendForGood()
{
    if (resetMode == ResetMode::Throw) throw TaskSuspended{};
    vx::fflushStdout();
    for (;;) ::pause(); // the supervisor's reset and power buttons end this process
}

void handover(const std::string& line)
{
    if (resetMode == ResetMode::Throw) throw HandoverRequested{line};
    vx::fflushStdout();
    std::ofstream(board().dir() + "/handover", std::ios::trunc) << line << "\n";
    std::fprintf(stderr, "tarnboot: %s\n", line.c_str());
    std::fflush(stderr);
    _exit(kExitHandover);
}

} // namespace host

namespace vx {
void taskSuspendSelf() { host::taskSuspendForGood(); }
} // namespace vx
