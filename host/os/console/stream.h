// console/stream.h - the console transport of the board process: a socket to
// the supervisor, a reader thread that moves arriving bytes into the tty, the
// console escape, optional line pacing and fault injection on received bytes.
#pragma once

#include "host/os/console/device.h"

#include <chrono>
#include <mutex>
#include <thread>

namespace host {

// Paces bytes to a baud rate at 10 bits a byte, sleeping as it goes. Bytes
// that were queued behind earlier ones follow them back to back, however late
// this thread comes to them (its wake-ups are the host's, not the line's);
// bytes that found the line idle start when they come.
class LinePacer {
public:
    void pace(size_t bytes, int32_t baud, bool queuedBehind);

private:
    std::chrono::steady_clock::time_point next_{};
};

// Decides the fate of received bytes when faults are injected (deterministic).
class FaultInjector {
public:
    FaultInjector(double dropRate, double flipRate) : drop_(dropRate), flip_(flipRate) {}
    bool active() const { return drop_ > 0 || flip_ > 0; }
    // False when the byte is lost; may flip one of its bits.
    bool pass(uint8_t& c);

private:
    uint64_t next();
    double uniform() { return double(next() >> 11) / double(1ull << 53); }
    double drop_, flip_;
    uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

// The board's output kept while no terminal has the pseudo-terminal open (the
// last 64 KiB); shared between the supervisor and its board processes when
// consoleBacklogShare() ran before they were started, so it outlives resets.
struct PtyBacklog {
    static constexpr size_t kSize = 64 * 1024;
    size_t len = 0;
    char data[kSize];
    void append(const char* p, size_t n);
};

// The stream is a socket to the supervisor, or the master of the console's
// pseudo-terminal itself: the board then reads and writes the terminal with
// no process in between, and keeps its output while no terminal is attached.
class StreamTty : public TtyDevice {
public:
    StreamTty(int fd, const ConsoleOptions& opts);
    ~StreamTty() override;
    void close() override; // also stops the reader thread
    StreamTty(const StreamTty&) = delete;
    StreamTty& operator=(const StreamTty&) = delete;

protected:
    Wait waitFor(Lock& lock, const std::function<bool()>& pred, int64_t timeoutNs) override;
    void waitOutputAllowed(Lock& lock) override;
    void transmit(Lock& lock, const std::string& bytes) override;
    void dropStreamInput(Lock& lock) override;
    void optionsChanged(Lock& lock) override;

private:
    // While the line acts on arriving bytes (flow control, the reboot trap, the
    // console escape) the stream is read whatever the buffer holds, so they
    // always work; up to this many bytes are then held, and more are lost as
    // in a receiver overrun. A raw line reads only what it can take: nothing
    // is lost.
    static constexpr size_t kHeldLimit = 64 * 1024;
    bool readsAhead() const;
    // A raw line without pacing is read by the thread that waits for input,
    // taking what the stream holds when the buffer runs dry: no hand-over
    // from the reader thread per chunk. The reader thread rests meanwhile.
    bool taskReads() const { return !readsAhead() && !opts_.linePace && !detached_; }
    Wait waitReading(Lock& lock, const std::function<bool()>& pred, int64_t timeoutNs);
    // Takes what the stream holds now (up to a chunk) into the tty; false
    // when the stream ended.
    bool receiveNow(Lock& lock, uint8_t* buf, size_t size);
    // Bytes from the stream now: > 0 read, 0 none (or no terminal), -1 ended.
    ssize_t streamRead(uint8_t* buf, size_t size);
    // Pseudo-terminal: no terminal has it open.
    bool peerGone() const;
    // Pseudo-terminal with a terminal attached: what was kept goes out first.
    void sendBacklog(Lock& lock);
    // Writes to the stream (outMu_ held); false when it broke.
    bool put(const char* p, size_t n, bool pace, int32_t baud);
    void readerLoop();
    // Escape handling and fault injection for one byte from the stream, then
    // the tty's arrival. May end the process (console escape, reboot trap).
    void fromStream(Lock& lock, uint8_t c);
    [[noreturn]] void escapeExit(int code); // lock held
    void detach(); // lock held

    int fd_;
    bool pty_ = false;
    PtyBacklog* backlog_ = nullptr; // pty_: the shared one, or own_
    std::unique_ptr<PtyBacklog> own_;
    ConsoleOptions opts_;
    int wakeFd_ = -1;         // readable once the device closes
    int kickFd_ = -1;         // wakes the reader thread to look at the line's mode again
    bool readerResting_ = false;
    std::condition_variable restCv_; // the reader thread rests here, apart from cv_'s traffic
    bool streamBusy_ = false; // a waiting thread polls the stream
    bool detached_ = false; // the stream ended: reads wait, output is discarded
    bool escapePending_ = false;
    uint64_t flushGen_ = 0; // input flushes so far (paced bytes in flight go with one)
    FaultInjector faults_;
    LinePacer rxPace_;
    bool rxQueued_ = false;   // more received bytes were waiting behind the last ones
    uint64_t nextTicket_ = 0; // sends decided so far (under mu_)
    std::mutex outMu_;        // one sender at a time, in ticket order
    std::condition_variable outCv_;
    uint64_t serving_ = 0;    // sends done (under outMu_)
    LinePacer txPace_;
    std::thread reader_;
};

} // namespace host
