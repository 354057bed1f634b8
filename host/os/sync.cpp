// sync.cpp - binary semaphores with FIFO waiting, the interrupt-context test,
// and the task's signal handlers and mask.
#include "host/os/hostos.h"
#include "osapi.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <deque>
#include <algorithm>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

namespace vx {

struct Semaphore {
    std::mutex m;
    std::condition_variable cv;
    bool full;
    uint64_t nextTicket = 0;
    std::deque<uint64_t> waiters; // FIFO: the oldest waiter takes a give
};

} // namespace vx

namespace host {
namespace {

thread_local bool inInterrupt = false;

struct SignalState {
    std::atomic<vx::SigHandler> termHandler{nullptr};
    std::atomic<int> mask{0};
    std::atomic<bool> termPending{false};
    std::atomic<bool> hostRaised{false}; // raised from a host handler, not yet delivered
    int wakeFd = -1;                     // eventfd the console's reader watches
};

SignalState& signals()
{
    static SignalState s;
    return s;
}

int sigBit(int sig) { return 1 << (sig - 1); }

void deliverTerm()
{
    vx::SigHandler h = signals().termHandler.load();
    if (h) {
        h(vx::SIG_TERM);
        return;
    }
    // No handler installed: the default action ends the board process.
    std::signal(SIGTERM, SIG_DFL);
    std::raise(SIGTERM);
}

} // namespace

void intContextSet(bool inIsr) { inInterrupt = inIsr; }

void signalsReset()
{
    signals().termHandler = nullptr;
    signals().mask = 0;
    signals().termPending = false;
    signals().hostRaised = false;
    if (signals().wakeFd < 0) signals().wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void signalRaiseFromHost(int sig)
{
    if (sig != SIGTERM) return;
    if (!signals().termHandler.load()) {
        std::signal(SIGTERM, SIG_DFL);
        std::raise(SIGTERM);
        return;
    }
    signals().hostRaised = true;
    uint64_t one = 1;
    if (signals().wakeFd >= 0 && ::write(signals().wakeFd, &one, sizeof one) < 0) {
        // The flag alone still reaches the next console wait that looks.
    }
}

bool signalPending() { return signals().hostRaised.load(); }

void signalPoll()
{
    if (!signals().hostRaised.exchange(false)) return;
    uint64_t drained;
    if (signals().wakeFd >= 0 && ::read(signals().wakeFd, &drained, sizeof drained) < 0) {
        // Nothing was written yet, or it was drained already.
    }
    signalDeliver(SIGTERM);
}

int signalWakeFd() { return signals().wakeFd; }

void signalDeliver(int sig)
{
    if (sig != vx::SIG_TERM) return;
    if (signals().mask.load() & sigBit(sig)) {
        signals().termPending = true;
        return;
    }
    deliverTerm();
}

} // namespace host

namespace vx {

SEM_ID semBCreate(int /*options: FIFO is the only queueing here*/, int initialState)
{
    auto* s = new Semaphore;
    s->full = initialState == SEM_FULL;
    return s;
}

STATUS semTake(SEM_ID sem, int32_t timeoutTicks)
{
    if (!sem) return ERROR;
    std::unique_lock<std::mutex> lk(sem->m);
    if (sem->full && sem->waiters.empty()) {
        sem->full = false;
        return OK;
    }
    if (timeoutTicks == NO_WAIT) return ERROR;
    if (host::clockIsVirtual()) {
        // A single task in virtual time: nobody else can give it; let the
        // time pass (or report the deadlock of an unlimited wait).
        if (timeoutTicks > 0) host::clockAdvanceNs(uint64_t(timeoutTicks) * 10000000ull);
        return ERROR;
    }
    uint64_t ticket = sem->nextTicket++;
    sem->waiters.push_back(ticket);
    auto ready = [&] { return sem->full && sem->waiters.front() == ticket; };
    bool got;
    if (timeoutTicks == WAIT_FOREVER) {
        sem->cv.wait(lk, ready);
        got = true;
    } else {
        got = sem->cv.wait_for(lk, std::chrono::milliseconds(int64_t(timeoutTicks) * 10), ready);
    }
    sem->waiters.erase(std::find(sem->waiters.begin(), sem->waiters.end(), ticket));
    if (got) sem->full = false;
    sem->cv.notify_all();
    return got ? OK : ERROR;
}

STATUS semGive(SEM_ID sem)
{
    if (!sem) return ERROR;
    {
        std::lock_guard<std::mutex> g(sem->m);
        sem->full = true;
    }
    sem->cv.notify_all();
    return OK;
}

STATUS semDelete(SEM_ID sem)
{
    if (!sem) return ERROR;
    delete sem;
    return OK;
}

bool intContext() { return host::inInterrupt; }

/* The system runs on one task, the root task; its identifier is the address of
 * its control block on the board. */
int32_t taskIdSelf() { return 0x0FFFE2C0; }

SigHandler signal(int sig, SigHandler handler)
{
    if (sig != SIG_TERM) return SIG_DEFAULT;
    return host::signals().termHandler.exchange(handler);
}

int sigsetmask(int mask)
{
    int old = host::signals().mask.exchange(mask);
    if (!(mask & host::sigBit(SIG_TERM)) && host::signals().termPending.exchange(false)) host::deliverTerm();
    return old;
}

int sigblockMaskGet() { return host::signals().mask.load(); }

} // namespace vx
