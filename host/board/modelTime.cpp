// modelTime.cpp - chip durations on the board clock.
#include "host/board/modelTime.h"

#include "host/os/hostos.h"

namespace host {

uint64_t modelNowNs() { return clockNowNs(); }

uint64_t modelChipNs(uint64_t ns) { return clockIsVirtual() ? ns : ns / kBinaryTimeDivisor; }

void modelRegisterAccess() { clockAdvanceNs(kRegisterAccessNs); }

void modelPoll() { clockAdvanceNs(kPollNs); }

} // namespace host
