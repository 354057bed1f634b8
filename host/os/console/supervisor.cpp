// console/supervisor.cpp - tarnboot's own process: runs the board in a child
// process, relays the console between the child's socket and the attachment,
// restarts the board after a reset or power cycle, and turns the way the board
// ended into tarnboot's exit status. Single-threaded (it forks).
#include "host/os/console/console.h"
#include "host/os/console/attach.h"
#include "host/os/hostos.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace host {
namespace {

// Bytes waiting to go one way, oldest first.
class ByteQueue {
public:
    size_t size() const { return data_.size() - head_; }
    bool empty() const { return size() == 0; }
    const char* data() const { return data_.data() + head_; }
    void append(const char* p, size_t n) { data_.append(p, n); }
    void consume(size_t n)
    {
        head_ += std::min(n, size());
        if (head_ == data_.size()) {
            clear();
        } else if (head_ >= 4096 && head_ * 2 > data_.size()) {
            data_.erase(0, head_);
            head_ = 0;
        }
    }
    void clear()
    {
        data_.clear();
        head_ = 0;
    }

private:
    std::string data_;
    size_t head_ = 0;
};

constexpr size_t kChunk = 4096;           // relayed at a time; a queue this full stops its source
constexpr size_t kBacklog = 64 * 1024;    // the board's output kept while no peer is attached

bool transient(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// The signals the supervisor handles arrive on a descriptor instead of
// interrupting it; the previous mask and SIGPIPE handling come back at the end
// (and in the board's process, before it runs).
class SignalIntake {
public:
    SignalIntake()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int s : {SIGCHLD, SIGUSR1, SIGUSR2, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, s);
        ::sigprocmask(SIG_BLOCK, &set, &oldMask_);
        fd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ign, &oldPipe_);
    }
    ~SignalIntake()
    {
        if (fd_ >= 0) ::close(fd_);
        restore();
    }
    SignalIntake(const SignalIntake&) = delete;
    SignalIntake& operator=(const SignalIntake&) = delete;
    int fd() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    // The next signal received, or 0.
    int next()
    {
        signalfd_siginfo info;
        ssize_t n = ::read(fd_, &info, sizeof info);
        return n == ssize_t(sizeof info) ? int(info.ssi_signo) : 0;
    }
    void restore()
    {
        ::sigaction(SIGPIPE, &oldPipe_, nullptr);
        ::sigprocmask(SIG_SETMASK, &oldMask_, nullptr);
    }
    void releaseInChild()
    {
        ::close(fd_);
        fd_ = -1;
        restore();
    }

private:
    int fd_ = -1;
    sigset_t oldMask_;
    struct sigaction oldPipe_ {};
};

class Supervisor {
public:
    using RunBoard = std::function<int(int, bool)>;
    Supervisor(Attachment& att, SignalIntake& sig, bool exitOnReset, bool waitForPeer, const RunBoard& runBoard)
        : att_(att), sig_(sig), exitOnReset_(exitOnReset), waitForPeer_(waitForPeer), runBoard_(runBoard)
    {
    }
    int run();

private:
    enum class Press { None, Reset, PowerCycle };
    bool startBoard();
    void stopBoard(); // kills and reaps the board, closes its socket
    void reap();
    // The board's run is over (ended and its output relayed): -1 to start it
    // again, else tarnboot's status.
    int boardEnded();
    bool peer() const { return att_.outFd() >= 0; }
    void relay(const pollfd* child, const pollfd* in, const pollfd* out);

    Attachment& att_;
    SignalIntake& sig_;
    bool exitOnReset_;
    bool waitForPeer_;
    const RunBoard& runBoard_;

    bool started_ = false; // powered on once
    pid_t child_ = -1;
    pid_t endedChild_ = -1; // the last board process, once it ended
    int sock_ = -1;
    bool sockEnded_ = false;
    bool exited_ = false;
    int waitStatus_ = 0;
    Press press_ = Press::None;
    bool hostInputEnded_ = false;
    unsigned peerSerial_ = 0;
    ByteQueue toBoard_;
    ByteQueue fromBoard_; // the board's output, not yet encoded for the peer
    std::string wire_;    // bytes for the current peer, ready to write
};

bool Supervisor::startBoard()
{
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    att_.prepare();
    std::fflush(nullptr); // nothing buffered may be written twice
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(sv[0]);
        ::close(sv[1]);
        return false;
    }
    if (pid == 0) {
        // The board dies with tarnboot, however tarnboot ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(kStatusHostError);
        sig_.releaseInChild();
        att_.releaseInChild();
        ::close(sv[0]);
        int rc = kStatusHostError;
        try {
            // The socket stays open until the board ends, which tells the
            // supervisor its output is all out.
            rc = runBoard_(att_.boardFd() >= 0 ? att_.boardFd() : sv[1], att_.escapeEnabled());
        } catch (...) {
            std::fprintf(stderr, "tarnboot: the board stopped on an unexpected error\n");
        }
        ::_exit(rc & 0xFF);
    }
    ::close(sv[1]);
    ::fcntl(sv[0], F_SETFL, ::fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    child_ = pid;
    sock_ = sv[0];
    sockEnded_ = exited_ = false;
    press_ = Press::None;
    toBoard_.clear();
    started_ = true;
    return true;
}

void Supervisor::reap()
{
    if (child_ < 0 || exited_) return;
    int status;
    pid_t r = ::waitpid(child_, &status, WNOHANG);
    if (r == child_) {
        exited_ = true;
        waitStatus_ = status;
    }
}

void Supervisor::stopBoard()
{
    if (child_ > 0 && !exited_) {
        ::kill(child_, SIGKILL);
        int status;
        while (::waitpid(child_, &status, 0) < 0 && errno == EINTR) {
        }
        exited_ = true;
        waitStatus_ = status;
    }
    if (sock_ >= 0) ::close(sock_);
    sock_ = -1;
    if (child_ > 0) endedChild_ = child_;
    child_ = -1;
}

int Supervisor::boardEnded()
{
    Press press = press_;
    if (press == Press::None && WIFEXITED(waitStatus_)) {
        switch (WEXITSTATUS(waitStatus_)) {
        case kExitReset: press = Press::Reset; break;
        case kExitPowerCycle: press = Press::PowerCycle; break;
        case kExitQuit:
        case kExitHandover: return kStatusOk;
        case kExitDeadBoard: return kStatusDeadBoard;
        case kExitPowerCut: return kStatusPowerCut;
        case kStatusHostError: return kStatusHostError; // the board's process said why
        default:
            std::fprintf(stderr, "tarnboot: the board's process %ld ended with status %d\n", long(endedChild_),
                         WEXITSTATUS(waitStatus_));
            return kStatusHostError;
        }
    }
    if (press == Press::None && WIFSIGNALED(waitStatus_)) {
        // A signal sent to the board's process does what it does sent here.
        switch (int s = WTERMSIG(waitStatus_)) {
        case SIGUSR1: press = Press::Reset; break;
        case SIGUSR2: press = Press::PowerCycle; break;
        case SIGTERM:
        case SIGINT:
        case SIGHUP:
        case SIGQUIT: return 128 + s;
        default:
            std::fprintf(stderr, "tarnboot: the board's process %ld was killed by signal %d (%s); the board stopped\n",
                         long(endedChild_), s, strsignal(s));
            return kStatusHostError;
        }
    }
    if (press == Press::None) return kStatusHostError;
    if (exitOnReset_) return kStatusResetExit;
    return -1;
}

void Supervisor::relay(const pollfd* child, const pollfd* in, const pollfd* out)
{
    char buf[kChunk];
    if (child && (child->revents & (POLLIN | POLLHUP | POLLERR))) {
        ssize_t n = ::read(sock_, buf, sizeof buf);
        if (n > 0) {
            fromBoard_.append(buf, size_t(n));
            // With no peer, the oldest output goes first, as a terminal server's buffer.
            if (!peer() && fromBoard_.size() > kBacklog) fromBoard_.consume(fromBoard_.size() - kBacklog);
        }
        if (n == 0 || (n < 0 && !transient(errno))) sockEnded_ = true;
    }
    if (child && (child->revents & POLLOUT) && !toBoard_.empty()) {
        ssize_t n = ::write(sock_, toBoard_.data(), toBoard_.size());
        if (n > 0) toBoard_.consume(size_t(n));
        if (n < 0 && !transient(errno)) toBoard_.clear();
    }
    if (in && (in->revents & (POLLIN | POLLHUP | POLLERR))) {
        ssize_t n = ::read(in->fd, buf, sizeof buf);
        if (n > 0) {
            std::string data, reply;
            att_.decode(buf, size_t(n), data, reply);
            toBoard_.append(data.data(), data.size());
            wire_ += reply;
        } else if (n == 0 || !transient(errno)) {
            if (att_.inputEnded()) hostInputEnded_ = true;
        }
    }
    if (out && (out->revents & (POLLOUT | POLLERR | POLLHUP)) && !wire_.empty() && att_.outFd() == out->fd) {
        ssize_t n = ::write(out->fd, wire_.data(), wire_.size());
        if (n > 0) wire_.erase(0, size_t(n));
        if (n < 0 && !transient(errno)) att_.outputFailed();
    }
}

int Supervisor::run()
{
    for (;;) {
        // A new peer starts afresh; output meant for one that left is dropped
        // (what the board printed since stays in fromBoard_).
        if (!peer()) {
            wire_.clear();
        } else if (att_.peerSerial() != peerSerial_) {
            peerSerial_ = att_.peerSerial();
            wire_ = att_.greeting();
        }
        if (peer() && wire_.empty() && !fromBoard_.empty()) {
            const size_t k = std::min(fromBoard_.size(), kChunk);
            att_.encode(fromBoard_.data(), k, wire_);
            fromBoard_.consume(k);
        }
        if (!started_ && (!waitForPeer_ || peer())) {
            if (!startBoard()) {
                std::fprintf(stderr, "tarnboot: cannot start the board: %s\n", std::strerror(errno));
                return kStatusHostError;
            }
        }
        if (exited_ && sockEnded_ && (!peer() || (fromBoard_.empty() && wire_.empty()))) {
            stopBoard();
            int status = boardEnded();
            if (status >= 0) return status;
            if (!startBoard()) return kStatusHostError;
            continue;
        }
        if (hostInputEnded_) {
            // What the host typed last goes to the board if its socket takes it
            // now; the run then ends (the board is not waited for).
            if (!toBoard_.empty() && !sockEnded_ && sock_ >= 0 &&
                ::write(sock_, toBoard_.data(), toBoard_.size()) < 0) {
                // The board is ended next anyway.
            }
            stopBoard();
            return kStatusOk;
        }

        pollfd fds[5];
        int nfds = 0;
        auto add = [&](int fd, short events) -> pollfd* {
            if (fd < 0 || events == 0) return nullptr;
            fds[nfds] = {fd, events, 0};
            return &fds[nfds++];
        };
        add(sig_.fd(), POLLIN);
        const bool takeOutput = !sockEnded_ && (!peer() || fromBoard_.size() < kChunk);
        short childEv = short((takeOutput ? POLLIN : 0) | (!toBoard_.empty() ? POLLOUT : 0));
        pollfd* child = add(sockEnded_ ? -1 : sock_, childEv);
        // A board that has the attachment's descriptor serves it alone.
        const bool relaying = !started_ || att_.boardFd() < 0;
        pollfd* in = relaying ? add(att_.inFd(), toBoard_.size() < kChunk ? POLLIN : 0) : nullptr;
        pollfd* out = relaying ? add(att_.outFd(), wire_.empty() ? 0 : POLLOUT) : nullptr;
        pollfd* wait = relaying ? add(att_.waitFd(), POLLIN) : nullptr;
        int timeout = relaying && att_.inFd() < 0 ? att_.retryMs() : -1;

        int pr = ::poll(fds, nfds, timeout);
        if (pr < 0) {
            if (errno == EINTR) continue;
            stopBoard();
            return kStatusHostError;
        }
        if (pr == 0) {
            att_.retry();
            continue;
        }
        if (fds[0].revents & POLLIN) {
            while (int s = sig_.next()) {
                switch (s) {
                case SIGCHLD: reap(); break;
                case SIGUSR1:
                case SIGUSR2: // no board to act on before the first power-on
                    if (child_ > 0 && !exited_) {
                        press_ = s == SIGUSR1 ? Press::Reset : Press::PowerCycle;
                        ::kill(child_, SIGKILL);
                    }
                    break;
                case SIGTERM:
                    // The board's task gets it: a transfer's handler restores
                    // the console and goes on; without a handler the board ends.
                    // A board being reset cannot take it: the run ends here.
                    if (child_ > 0 && !exited_ && press_ == Press::None) {
                        ::kill(child_, SIGTERM);
                        break;
                    }
                    stopBoard();
                    return 128 + s;
                default: // SIGINT, SIGHUP, SIGQUIT: end here
                    stopBoard();
                    return 128 + s;
                }
            }
        }
        relay(child, in, out);
        if (wait && (wait->revents & POLLIN)) att_.onWaitReady();
        if (sockEnded_) reap();
    }
}

} // namespace

int superviseBoard(const AttachConfig& cfg, bool exitOnReset,
                   const std::function<int(int fd, bool escapeEnabled)>& runBoard)
{
    SignalIntake sig;
    if (!sig.ok()) {
        std::fprintf(stderr, "tarnboot: cannot set up signals: %s\n", std::strerror(errno));
        return kStatusHostError;
    }
    std::unique_ptr<Attachment> att = makeAttachment(cfg);
    if (!att) return kStatusHostError;
    if (att->boardFd() >= 0) consoleBacklogShare();
    const bool wait = !cfg.noWait && att->hasPeerToWaitFor();
    if (wait && !att->peerSerial())
        std::fprintf(stderr, "tarnboot: the board powers on when a terminal attaches\n");
    Supervisor sup(*att, sig, exitOnReset, wait, runBoard);
    return sup.run();
    // The attachment (terminal settings included) and the signal set-up are
    // put back as they go out of scope.
}

} // namespace host
