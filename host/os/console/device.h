// console/device.h - the console tty device: the line discipline behind a
// lock, the board-side operations (read, write, readiness, requests), and the
// hooks a transport fills in (stream socket with a reader thread, or a
// scripted peer called synchronously in unit tests).
#pragma once

#include "host/os/console/console.h"
#include "host/os/console/tty.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace host {

class TtyDevice {
public:
    static constexpr int32_t kDefaultBaud = 9600;

    virtual ~TtyDevice() = default;
    // Ends the device: waits in progress give up (-1) and transports stop.
    virtual void close();

    // Board side. read: line discipline semantics, 0 = end of input, -1 when
    // the console is shutting down. write: always whole (output with no peer
    // is discarded). select: timeoutNs < 0 waits without limit; 1 ready, 0 timeout.
    int32_t read(void* buf, size_t n, bool stopAtNewline);
    int32_t write(const void* buf, size_t n);
    int select(int64_t timeoutNs);
    int ioctl(int request, intptr_t arg);

    static bool baudSupported(int64_t baud);

protected:
    // Interrupted: a host signal waits for delivery (signalPoll, without the lock).
    enum class Wait { Ready, Timeout, EndOfInput, Closed, Interrupted };
    using Lock = std::unique_lock<std::mutex>;

    // Waits with the lock held until pred() holds, the time is up
    // (timeoutNs >= 0), the input ends or the device closes.
    virtual Wait waitFor(Lock& lock, const std::function<bool()>& pred, int64_t timeoutNs) = 0;
    // Waits while output is stopped by X-off (a transport may give up waiting).
    virtual void waitOutputAllowed(Lock& lock) = 0;
    // Sends bytes to the far end; may drop the lock while it does.
    virtual void transmit(Lock& lock, const std::string& bytes) = 0;
    // Discards input the stream holds that has not reached the discipline yet.
    virtual void dropStreamInput(Lock& lock) = 0;
    // The line's options changed (after cv_ was notified).
    virtual void optionsChanged(Lock&) {}

    // One byte from the line, as it arrives: flow control and the reboot trap
    // (which resets the board) act at once, whatever the buffer holds; other
    // bytes join held_ (unless !keep: lost, as in a receiver overrun).
    void arrive(Lock& lock, uint8_t c, bool keep = true);
    // Moves held bytes into the discipline while it takes them, sending
    // echoes (or holding them while output is stopped; an X-on lets the held
    // echo go). Returns true when any was taken.
    bool takeHeld(Lock& lock);

    bool closing_ = false;
    std::mutex mu_;
    std::condition_variable cv_; // any change of input, output or state
    LineDiscipline disc_;
    std::deque<uint8_t> held_;   // received, not yet taken by the discipline
    // Echo produced while X-off stops the output, sent when it is allowed
    // again: ahead of a write that began after it, behind the piece of one
    // that was waiting already. At most the write buffer's 512 bytes are
    // held; the echo of what is typed beyond that is lost (as with a serial
    // driver's full output ring); the typed bytes themselves are all kept.
    static constexpr size_t kHeldEchoLimit = LineDiscipline::kCapacity;
    std::string heldEcho_;
    int writers_ = 0; // write calls in progress
    int32_t baud_ = kDefaultBaud;
};

// The console instance (shared for the length of a call); null when none.
std::shared_ptr<TtyDevice> consoleDevice();

} // namespace host
