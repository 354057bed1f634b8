// console/device.cpp - board-side console operations over the line discipline.
#include "host/os/console/device.h"
#include "host/os/hostos.h"
#include "osapi.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace host {

bool TtyDevice::baudSupported(int64_t baud)
{
    static constexpr int64_t kRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    return std::find(std::begin(kRates), std::end(kRates), baud) != std::end(kRates);
}

void TtyDevice::close()
{
    Lock lock(mu_);
    closing_ = true;
    cv_.notify_all();
}

int32_t TtyDevice::read(void* buf, size_t n, bool stopAtNewline)
{
    if (!buf) return -1;
    if (n == 0) return 0;
    n = std::min<size_t>(n, INT32_MAX);
    Lock lock(mu_);
    while (!disc_.readReady()) {
        Wait w = waitFor(lock, [this] { return disc_.readReady(); }, -1);
        if (w == Wait::Interrupted) {
            // The signal's handler runs on this task, then the read goes on.
            lock.unlock();
            signalPoll();
            lock.lock();
            continue;
        }
        if (w == Wait::EndOfInput) return 0;
        if (w != Wait::Ready) return -1;
    }
    size_t got = disc_.read(static_cast<uint8_t*>(buf), n, stopAtNewline);
    // Bytes already received but held back move into the room just made here,
    // saving a hand-over to the receiving thread on a busy line.
    if (!takeHeld(lock)) cv_.notify_all(); // room for the reader
    return int32_t(got);
}

int32_t TtyDevice::write(const void* buf, size_t n)
{
    if (!buf) return -1;
    n = std::min<size_t>(n, INT32_MAX);
    const auto* p = static_cast<const uint8_t*>(buf);
    Lock lock(mu_);
    // With flow control on, X-off takes effect between pieces; without it a
    // write goes to the stream whole (a transfer block in one send).
    const size_t piece = (disc_.options() & vx::OPT_TANDEM) ? 256 : n;
    ++writers_;
    size_t echoFirst = heldEcho_.size(); // held echo made before this write goes out ahead of it
    for (size_t off = 0; off < n;) {
        waitOutputAllowed(lock);
        size_t k = std::min(piece, n - off);
        echoFirst = std::min(echoFirst, heldEcho_.size());
        std::string out = heldEcho_.substr(0, echoFirst);
        disc_.mapOutput(p + off, k, out);
        out += heldEcho_.substr(echoFirst);
        heldEcho_.clear();
        echoFirst = 0;
        transmit(lock, out);
        off += k;
    }
    --writers_;
    if (!heldEcho_.empty() && !disc_.outputStopped()) transmit(lock, std::exchange(heldEcho_, std::string()));
    return int32_t(n);
}

int TtyDevice::select(int64_t timeoutNs)
{
    Lock lock(mu_);
    if (disc_.anyInput()) return 1;
    switch (waitFor(lock, [this] { return disc_.anyInput(); }, timeoutNs)) {
    case Wait::Ready:
    case Wait::EndOfInput: return 1; // a read would not block
    case Wait::Timeout: return 0;
    case Wait::Closed:
    case Wait::Interrupted: break; // the caller delivers the signal

    }
    return -1;
}

int TtyDevice::ioctl(int request, intptr_t arg)
{
    Lock lock(mu_);
    switch (request) {
    case vx::FIOFLUSH: // output is handed to the stream as written: only held echo remains
        heldEcho_.clear();
        [[fallthrough]];
    case vx::FIORFLUSH:
        disc_.discardInput();
        held_.clear();
        dropStreamInput(lock);
        cv_.notify_all();
        return 0;
    case vx::FIOSETOPTIONS:
        disc_.setOptions(int(arg));
        cv_.notify_all(); // may release X-off or complete a line
        optionsChanged(lock);
        if (!heldEcho_.empty() && !disc_.outputStopped() && writers_ == 0) // the echo held while it lasted
            transmit(lock, std::exchange(heldEcho_, std::string()));
        return 0;
    case vx::FIOGETOPTIONS: return disc_.options();
    case vx::FIOBAUDRATE:
        if (!baudSupported(arg)) return -1;
        baud_ = int32_t(arg);
        return 0;
    case vx::SIO_BAUD_GET:
        if (arg == 0) return -1;
        *reinterpret_cast<int32_t*>(arg) = baud_;
        return 0;
    default: return -1;
    }
}

void TtyDevice::arrive(Lock& lock, uint8_t c, bool keep)
{
    if (disc_.flowControl(c)) {
        cv_.notify_all(); // may release a stopped output
        return;
    }
    if (disc_.rebootChar(c)) {
        lock.unlock();
        boardReset();
    }
    if (keep) held_.push_back(c);
}

bool TtyDevice::takeHeld(Lock& lock)
{
    bool any = false;
    LineDiscipline::Effects fx;
    while (disc_.plain() && !held_.empty() && disc_.canTake()) {
        uint8_t run[LineDiscipline::kCapacity];
        const size_t k = std::min(held_.size(), sizeof run);
        std::copy_n(held_.begin(), k, run);
        const size_t took = disc_.receivePlain(run, k);
        held_.erase(held_.begin(), held_.begin() + ptrdiff_t(took));
        any = true;
    }
    while (!held_.empty() && disc_.canTake()) {
        uint8_t c = held_.front();
        held_.pop_front();
        disc_.receive(c, fx);
        any = true;
    }
    if (any) cv_.notify_all();
    // Echo waits while output is stopped, and behind echo still held; a
    // write in progress takes the held echo when it goes on.
    std::string out;
    if (!heldEcho_.empty() && !disc_.outputStopped() && writers_ == 0) out.swap(heldEcho_);
    if (heldEcho_.empty() && !disc_.outputStopped())
        out += fx.echo;
    else if (heldEcho_.size() + fx.echo.size() <= kHeldEchoLimit)
        heldEcho_ += fx.echo;
    if (!out.empty()) transmit(lock, out);
    return any;
}

} // namespace host
