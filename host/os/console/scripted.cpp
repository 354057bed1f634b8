// console/scripted.cpp - the console with a scripted peer at the far end (unit
// tests, virtual clock). Everything runs on the caller's thread: when the board
// waits for input the peer is asked for more, and when it has nothing more to
// say a timed wait lets its time pass at once.
#include "host/os/console/scripted.h"
#include "host/os/hostos.h"

#include <algorithm>

namespace host {

void ScriptedPeer::deliverOutput(const char* p, size_t n)
{
    out_.append(p, n);
    if (onOutput) onOutput(*this, std::string(p, n));
}

bool ScriptedPeer::takeInput(std::string& into)
{
    if (pending_.empty()) return false;
    into += pending_;
    pending_.clear();
    return true;
}

bool ScriptedPeer::idle() { return onIdle ? onIdle(*this) : false; }

ScriptedTty::ScriptedTty(ScriptedPeer* peer) : peer_(peer) {}

bool ScriptedTty::pump(Lock& lock)
{
    std::string in;
    const bool arrived = peer_->takeInput(in);
    for (char c : in) arrive(lock, uint8_t(c));
    return takeHeld(lock) || arrived;
}

bool ScriptedTty::askPeer(Lock& lock)
{
    lock.unlock();
    bool more = peer_->idle();
    lock.lock();
    return more;
}

TtyDevice::Wait ScriptedTty::waitFor(Lock& lock, const std::function<bool()>& pred, int64_t timeoutNs)
{
    constexpr uint64_t kTickNs = 10'000'000;
    const bool timed = timeoutNs >= 0;
    const uint64_t deadline = timed ? clockNowNs() + uint64_t(timeoutNs) : 0;
    int emptyRounds = 0;
    for (;;) {
        if (closing_) return Wait::Closed;
        if (signalPending()) return Wait::Interrupted;
        pump(lock);
        if (pred()) return Wait::Ready;

        uint64_t before = clockNowNs();
        bool more = askPeer(lock);
        bool typed = pump(lock);
        if (pred()) return Wait::Ready;
        if (!more) {
            if (!timed) return Wait::EndOfInput;
            uint64_t now = clockNowNs();
            if (now < deadline) clockAdvanceNs(deadline - now);
            return Wait::Timeout;
        }
        if (typed || !held_.empty()) {
            emptyRounds = 0;
            continue;
        }
        if (timed) {
            // Time must pass for a timed wait to end.
            uint64_t now = clockNowNs();
            if (now == before && now < deadline) clockAdvanceNs(std::min(kTickNs, deadline - now));
            if (clockNowNs() >= deadline) return Wait::Timeout;
        } else if (++emptyRounds >= kMaxEmptyRounds) {
            return Wait::EndOfInput;
        }
    }
}

void ScriptedTty::waitOutputAllowed(Lock& lock)
{
    // The peer's X-on comes through its input; a peer with nothing more to
    // say releases the line rather than holding the board for ever.
    for (int round = 0; disc_.outputStopped() && round < kMaxEmptyRounds; ++round) {
        if (pump(lock)) round = 0;
        if (!disc_.outputStopped()) return;
        if (!askPeer(lock)) {
            pump(lock);
            return;
        }
    }
}

void ScriptedTty::transmit(Lock& lock, const std::string& bytes)
{
    if (bytes.empty()) return;
    lock.unlock();
    peer_->deliverOutput(bytes.data(), bytes.size());
    lock.lock();
}

void ScriptedTty::dropStreamInput(Lock&)
{
    held_.clear();
    std::string discarded;
    peer_->takeInput(discarded);
}

} // namespace host
