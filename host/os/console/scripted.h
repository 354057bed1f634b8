// console/scripted.h - the console transport for unit tests: a ScriptedPeer
// at the far end, called synchronously on the board's thread.
#pragma once

#include "host/os/console/device.h"

namespace host {

class ScriptedTty : public TtyDevice {
public:
    explicit ScriptedTty(ScriptedPeer* peer);

protected:
    Wait waitFor(Lock& lock, const std::function<bool()>& pred, int64_t timeoutNs) override;
    void waitOutputAllowed(Lock& lock) override;
    void transmit(Lock& lock, const std::string& bytes) override;
    void dropStreamInput(Lock& lock) override;

private:
    // A peer that keeps saying "more" without typing or letting time pass would
    // hold an untimed wait for ever; after this many such rounds it counts as silent.
    static constexpr int kMaxEmptyRounds = 10000;

    // Moves what the peer typed through the discipline; true when any arrived.
    bool pump(Lock& lock);
    // Tells the peer the board is waiting; false when it has nothing more to say.
    bool askPeer(Lock& lock);

    ScriptedPeer* peer_;
};

} // namespace host
