// console/stream.cpp - the board process's console over a socket (see console/stream.h).
#include "host/os/console/stream.h"
#include "host/os/hostos.h"
#include "osapi.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace host {

namespace {
constexpr uint8_t kEscapeChar = 0x1D; // Ctrl-]
constexpr int kPeerLookMs = 20;       // how often a pseudo-terminal without a terminal is looked at
PtyBacklog* sharedBacklog = nullptr;
} // namespace

void consoleBacklogShare()
{
    if (sharedBacklog) return;
    void* p = ::mmap(nullptr, sizeof(PtyBacklog), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) sharedBacklog = new (p) PtyBacklog{};
}

void PtyBacklog::append(const char* p, size_t n)
{
    // The oldest output goes first, as in a terminal server's buffer.
    if (n >= kSize) {
        std::memcpy(data, p + n - kSize, kSize);
        len = kSize;
        return;
    }
    if (len + n > kSize) {
        const size_t drop = len + n - kSize;
        std::memmove(data, data + drop, len - drop);
        len -= drop;
    }
    std::memcpy(data + len, p, n);
    len += n;
}

void LinePacer::pace(size_t bytes, int32_t baud, bool queuedBehind)
{
    if (baud <= 0 || bytes == 0) return;
    // The schedule restarts only when the line was idle: a late wake-up or a
    // sleep's overshoot on a busy line must not make the line slower.
    auto now = std::chrono::steady_clock::now();
    if (!queuedBehind && next_ < now) next_ = now;
    next_ += std::chrono::nanoseconds(int64_t(bytes) * 10 * 1'000'000'000 / baud);
    std::this_thread::sleep_until(next_);
}

uint64_t FaultInjector::next()
{
    // xorshift64*: plenty for spreading faults, and the same every run.
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Dull;
}

bool FaultInjector::pass(uint8_t& c)
{
    if (drop_ > 0 && uniform() < drop_) return false;
    if (flip_ > 0 && uniform() < flip_) c ^= uint8_t(1u << (next() % 8));
    return true;
}

StreamTty::StreamTty(int fd, const ConsoleOptions& opts)
    : fd_(fd), opts_(opts), faults_(opts.dropRate, opts.flipRate)
{
    unsigned ptyNumber = 0;
    pty_ = ::ioctl(fd_, TIOCGPTN, &ptyNumber) == 0;
    if (pty_) {
        if (!sharedBacklog) own_ = std::make_unique<PtyBacklog>();
        backlog_ = sharedBacklog ? sharedBacklog : own_.get();
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    kickFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    reader_ = std::thread([this] { readerLoop(); });
}

StreamTty::~StreamTty()
{
    close();
    if (wakeFd_ >= 0) ::close(wakeFd_);
    if (kickFd_ >= 0) ::close(kickFd_);
}

void StreamTty::close()
{
    TtyDevice::close();
    restCv_.notify_all();
    uint64_t one = 1;
    if (wakeFd_ >= 0 && ::write(wakeFd_, &one, sizeof one) < 0) {
        // Nothing more to do: the reader sees closing_ after its next wake-up.
    }
    if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) reader_.join();
}

bool StreamTty::readsAhead() const
{
    const int o = disc_.options();
    return (o & (vx::OPT_TANDEM | vx::OPT_MON_TRAP)) || (opts_.escapeEnabled && o != 0);
}

void StreamTty::readerLoop()
{
    try {
        uint8_t buf[4096];
        for (;;) {
            bool blocked;
            {
                Lock lock(mu_);
                sendBacklog(lock);
                for (;;) {
                    takeHeld(lock);
                    if (closing_) return;
                    if (taskReads()) {
                        readerResting_ = true;
                        restCv_.wait(lock, [this] { return closing_ || !taskReads(); });
                        readerResting_ = false;
                        continue;
                    }
                    blocked = !held_.empty();
                    if (!blocked || readsAhead()) break;
                    // A raw line: nothing more is read from the stream until the
                    // held bytes are taken (backpressure).
                    cv_.wait(lock, [this] {
                        return closing_ || held_.empty() || disc_.canTake() || readsAhead() || taskReads();
                    });
                }
            }
            // A host signal raised for the boot task wakes its console wait.
            const int sigFd = signalWakeFd();
            // A pseudo-terminal without a terminal is looked at now and then.
            const bool gone = peerGone();
            pollfd fds[4] = {{gone ? -1 : fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}, {sigFd, POLLIN, 0}, {kickFd_, POLLIN, 0}};
            // Held bytes are taken by the board's reads; look again now and then.
            int pr = ::poll(fds, 4, blocked || gone ? kPeerLookMs : wakeFd_ >= 0 ? -1 : 100);
            uint64_t kicks;
            if (pr > 0 && (fds[3].revents & POLLIN) && ::read(kickFd_, &kicks, sizeof kicks) < 0) {
                // Drained by an earlier look.
            }
            if (pr > 0 && (fds[2].revents & POLLIN) && signalPending()) {
                Lock lock(mu_);
                cv_.notify_all();
                if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
                    // Let the boot task take the signal before watching again.
                    cv_.wait_for(lock, std::chrono::milliseconds(20), [this] { return closing_ || !signalPending(); });
                    continue;
                }
            }
            if (pr < 0 && errno != EINTR) {
                Lock lock(mu_);
                detach();
                return;
            }
            if (pr <= 0 || !(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            // Received under the lock, so an input flush sees these bytes
            // either still in the socket or already held, never in between.
            Lock lock(mu_);
            if (closing_) return;
            // The line went raw while this thread watched: the waiting task
            // reads the stream now, and would not see bytes taken here.
            if (taskReads()) continue;
            ssize_t n = streamRead(buf, opts_.linePace ? 16 : sizeof buf);
            if (n == 0) continue;
            if (n < 0) {
                detach();
                return;
            }
            if (opts_.linePace) {
                // The bytes take their time on the line; a flush meanwhile
                // discards them, as it would on the wire.
                const bool queuedBehind = rxQueued_;
                int avail = 0;
                rxQueued_ = ::ioctl(fd_, FIONREAD, &avail) == 0 && avail > 0;
                uint64_t gen = flushGen_;
                int32_t baud = baud_;
                lock.unlock();
                rxPace_.pace(size_t(n), baud, queuedBehind);
                lock.lock();
                if (gen != flushGen_ || closing_) continue;
            }
            for (ssize_t i = 0; i < n; ++i) fromStream(lock, buf[i]);
            takeHeld(lock);
        }
    } catch (...) {
        // A reset raised on this thread (test mode) cannot reach the board task:
        // the line goes dead instead.
        Lock lock(mu_);
        detach();
    }
}

void StreamTty::fromStream(Lock& lock, uint8_t c)
{
    auto pass = [&](uint8_t b) {
        if (faults_.active() && !faults_.pass(b)) return;
        arrive(lock, b, held_.size() < kHeldLimit);
    };
    if (opts_.escapeEnabled && disc_.options() != 0) {
        if (escapePending_) {
            escapePending_ = false;
            switch (c) {
            case 'q': escapeExit(kExitQuit);
            case 'r': escapeExit(kExitReset);
            case 'p': escapeExit(kExitPowerCycle);
            default: pass(kEscapeChar); break;
            }
        } else if (c == kEscapeChar) {
            escapePending_ = true;
            return;
        }
    } else if (escapePending_) { // the line went raw after an escape char
        escapePending_ = false;
        pass(kEscapeChar);
    }
    pass(c);
}

void StreamTty::escapeExit(int code)
{
    // Output is handed to the stream as it is written; let the sends already
    // decided finish (for a while at most) so nothing is cut short.
    const uint64_t last = nextTicket_;
    for (int i = 0; i < 1000; ++i) {
        {
            std::lock_guard<std::mutex> out(outMu_);
            if (serving_ == last) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::_exit(code);
}

void StreamTty::detach()
{
    detached_ = true;
    cv_.notify_all();
    restCv_.notify_all();
}

void StreamTty::optionsChanged(Lock&)
{
    if (readerResting_ && !taskReads()) restCv_.notify_all();
}

TtyDevice::Wait StreamTty::waitFor(Lock& lock, const std::function<bool()>& pred, int64_t timeoutNs)
{
    if (taskReads()) return waitReading(lock, pred, timeoutNs);
    auto done = [&] { return pred() || closing_ || signalPending(); };
    if (timeoutNs < 0)
        cv_.wait(lock, done);
    else if (!cv_.wait_for(lock, std::chrono::nanoseconds(timeoutNs), done))
        return Wait::Timeout;
    if (pred()) return Wait::Ready;
    return closing_ ? Wait::Closed : Wait::Interrupted;
}

TtyDevice::Wait StreamTty::waitReading(Lock& lock, const std::function<bool()>& pred, int64_t timeoutNs)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = timeoutNs < 0 ? Clock::time_point::max()
                                                     : Clock::now() + std::chrono::nanoseconds(timeoutNs);
    if (!readerResting_) {
        // The reader thread may be watching the stream still: let it rest.
        uint64_t one = 1;
        if (kickFd_ >= 0 && ::write(kickFd_, &one, sizeof one) < 0) {
            // It looks again after its next wake-up anyway.
        }
        cv_.notify_all();
    }
    sendBacklog(lock);
    uint8_t buf[4096];
    bool gone = false; // the last look found no terminal on the pty
    for (;;) {
        if (pred()) return Wait::Ready;
        if (closing_) return Wait::Closed;
        if (signalPending()) return Wait::Interrupted;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return Wait::Timeout;
        if (!taskReads() || streamBusy_) {
            // Another thread reads the stream; its bytes come with a notify.
            if (timeoutNs < 0)
                cv_.wait(lock);
            else
                cv_.wait_until(lock, deadline);
            continue;
        }
        timespec ts{};
        if (timeoutNs >= 0) {
            const int64_t left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
            ts.tv_sec = time_t(left / 1'000'000'000);
            ts.tv_nsec = long(left % 1'000'000'000);
        }
        if (gone) {
            sendBacklog(lock);
            gone = peerGone();
        }
        if (gone && (timeoutNs < 0 || ts.tv_sec > 0 || ts.tv_nsec > kPeerLookMs * 1'000'000))
            ts = timespec{0, kPeerLookMs * 1'000'000};
        pollfd fds[3] = {{gone ? -1 : fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}, {signalWakeFd(), POLLIN, 0}};
        streamBusy_ = true;
        lock.unlock();
        const int pr = ::ppoll(fds, 3, timeoutNs < 0 && !gone ? nullptr : &ts, nullptr);
        const int err = errno;
        lock.lock();
        streamBusy_ = false;
        cv_.notify_all(); // another waiter may take over the stream
        if (pr < 0 && err != EINTR) {
            detach();
        } else if (pr > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            receiveNow(lock, buf, sizeof buf);
            gone = pty_ && (fds[0].revents & POLLHUP); // looked at every kPeerLookMs until one comes
        }
    }
}

ssize_t StreamTty::streamRead(uint8_t* buf, size_t size)
{
    const ssize_t n = pty_ ? ::read(fd_, buf, size) : ::recv(fd_, buf, size, MSG_DONTWAIT);
    if (n > 0) return n;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    if (pty_ && (n == 0 || errno == EIO)) return 0; // the terminal closed it; another may come
    return -1;
}

bool StreamTty::peerGone() const
{
    if (!pty_) return false;
    pollfd p{fd_, 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

void StreamTty::sendBacklog(Lock& lock)
{
    if (pty_ && backlog_->len > 0 && !detached_ && !peerGone()) transmit(lock, std::string());
}

bool StreamTty::receiveNow(Lock& lock, uint8_t* buf, size_t size)
{
    const ssize_t n = streamRead(buf, size);
    if (n == 0) return true;
    if (n < 0) {
        detach();
        return false;
    }
    size_t i = 0;
    if (held_.empty() && disc_.plain() && !faults_.active() && !escapePending_ && !readsAhead()) {
        // Nothing to act on: straight into the buffer, the rest held.
        i = disc_.receivePlain(buf, size_t(n));
        held_.insert(held_.end(), buf + i, buf + std::min(size_t(n), i + kHeldLimit));
        i = size_t(n);
        cv_.notify_all();
    }
    for (; i < size_t(n); ++i) fromStream(lock, buf[i]);
    takeHeld(lock);
    return true;
}

void StreamTty::waitOutputAllowed(Lock& lock)
{
    cv_.wait(lock, [this] { return !disc_.outputStopped() || detached_ || closing_; });
}

void StreamTty::transmit(Lock& lock, const std::string& bytes)
{
    if (detached_ || (bytes.empty() && !(pty_ && backlog_->len > 0))) return;
    // Sends go out in the order they were decided under the lock, so an echo
    // always precedes what the board prints in answer to that input.
    const uint64_t ticket = nextTicket_++;
    const bool pace = opts_.linePace;
    const int32_t baud = baud_;
    lock.unlock();
    bool broken = false;
    {
        std::unique_lock<std::mutex> out(outMu_);
        outCv_.wait(out, [&] { return serving_ == ticket; });
        if (pty_ && backlog_->len > 0 && !peerGone()) {
            // A terminal is there again: what was kept for it goes first.
            const std::string kept(backlog_->data, backlog_->len);
            backlog_->len = 0;
            broken = !put(kept.data(), kept.size(), pace, baud);
        }
        if (!broken) broken = !put(bytes.data(), bytes.size(), pace, baud);
        ++serving_;
        outCv_.notify_all();
    }
    lock.lock();
    if (broken) detach();
}

bool StreamTty::put(const char* p, size_t n, bool pace, int32_t baud)
{
    for (size_t off = 0; off < n;) {
        if (peerGone()) {
            backlog_->append(p + off, n - off);
            return true;
        }
        size_t k = n - off;
        if (pace && k > 16) k = 16;
        ssize_t r = pty_ ? ::write(fd_, p + off, k) : ::send(fd_, p + off, k, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            if (pty_ && errno == EAGAIN) {
                // The terminal is not reading: wait for room, or for it to leave.
                pollfd q{fd_, POLLOUT, 0};
                ::poll(&q, 1, kPeerLookMs);
                continue;
            }
            return false;
        }
        off += size_t(r);
        if (pace) txPace_.pace(size_t(r), baud, off > size_t(r)); // a write's later pieces follow its first
    }
    return true;
}

void StreamTty::dropStreamInput(Lock&)
{
    held_.clear();
    escapePending_ = false;
    ++flushGen_;
    rxQueued_ = false;
    // What the socket holds at this moment, without waiting for more.
    int avail = 0;
    if (::ioctl(fd_, FIONREAD, &avail) != 0) return;
    uint8_t junk[512];
    while (avail > 0) {
        ssize_t n = streamRead(junk, std::min<size_t>(sizeof junk, size_t(avail)));
        if (n <= 0) break;
        avail -= int(n);
    }
}

} // namespace host
