// xmodem_host.cpp - runs the board's xmodem command on the host platform with
// its console on a pseudo-terminal and a peer program (lrzsz) on the other
// side; or, for comparison, two peer programs linked the same way (usage
// below). Prints "xmodem=RC peer=STATUS data_seconds=S" (or "sender=...
// receiver=..."); data_seconds runs from the first block on the line to the
// last byte either way. Used by the interop tests and the benchmarks.
#include "host/board/board.h"
#include "host/os/console/console.h"
#include "host/os/hostos.h"
#include "osapi.h"
#include "xmodem/xmodem.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct LinkTimes { std::atomic<int64_t> first{0}, last{0}; }; // ns since the epoch of Clock, 0 = none yet

int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

// A line for a peer program: a socket pair, or a pty whose slave is raw.
bool openLine(bool socket, int& master, int& slave)
{
    int sv[2];
    if (socket)
        return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0 && (master = sv[0], slave = sv[1], true);
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return false;
    ::fcntl(master, F_SETFD, FD_CLOEXEC); // peers get only their own pty, as 0 and 1
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    termios t;
    return ::tcgetattr(slave, &t), ::cfmakeraw(&t), ::tcsetattr(slave, TCSANOW, &t), true;
}

pid_t startPeer(const std::string& cmd, int slave, int master, const std::string& dir)
{
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::setsid();
    ::ioctl(slave, TIOCSCTTY, 0);
    ::dup2(slave, 0);
    ::dup2(slave, 1);
    if (slave > 2) ::close(slave);
    ::close(master);
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) _exit(126);
    ::execl("/bin/sh", "sh", "-c", cmd.c_str(), (char*)nullptr);
    _exit(127);
}

// Copies bytes both ways between a and b until stop is set. A side that ends
// (the peer closed its pty) stops being read; what goes to it is dropped.
// With gate set, what a sends is dropped until the gate text has passed: the
// command's announcements reach the terminal, not the peer, as when a person
// starts the peer after reading them.
void relay(int a, int b, std::atomic<bool>& stop, LinkTimes& times, const char* gate = nullptr)
{
    bool aOpen = true, bOpen = true;
    std::string seen;
    char buf[65536];
    while (!stop.load()) {
        pollfd fds[2] = {{aOpen ? a : -1, POLLIN, 0}, {bOpen ? b : -1, POLLIN, 0}};
        int pr = ::poll(fds, 2, 50);
        if (pr <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            int from = i == 0 ? a : b, to = i == 0 ? b : a;
            ssize_t n = ::read(from, buf, sizeof buf);
            if (n <= 0) {
                (i == 0 ? aOpen : bOpen) = false;
                continue;
            }
            int64_t t = nowNs();
            if (times.first.load() == 0 && (std::memchr(buf, 0x01, size_t(n)) || std::memchr(buf, 0x02, size_t(n))))
                times.first = t; // the first block: handshakes and announcements left out
            if (times.first.load() != 0) times.last = t;
            if (!(i == 0 ? bOpen : aOpen)) continue;
            ssize_t start = 0;
            if (i == 0 && gate) {
                seen.append(buf, size_t(n));
                size_t at = seen.find(gate);
                if (at == std::string::npos) {
                    if (seen.size() > 4096) seen.erase(0, seen.size() - 4096);
                    continue;
                }
                start = std::max<ssize_t>(0, n - ssize_t(seen.size() - at - std::strlen(gate))), gate = nullptr;
            }
            for (ssize_t off = start, w = 0; off < n; off += std::max<ssize_t>(w, 0))
                if ((w = ::write(to, buf + off, size_t(n - off))) < 0 && errno != EINTR && errno != EAGAIN) {
                    (i == 0 ? bOpen : aOpen) = false;
                    break;
                }
        }
    }
}

int waitPeer(pid_t pid, int seconds)
{
    for (int i = 0, st = 0; i < seconds * 100; ++i, ::usleep(10000))
        if (::waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

double seconds(const LinkTimes& t) { return t.first ? double(t.last - t.first) / 1e9 : 0.0; }

int runLink(const std::string& sender, const std::string& receiver, const std::string& dir,
            const std::string& rxDir, bool rxSocket)
{
    int m1, s1, m2, s2;
    // The receiver on a socket, as the command's sends give it: lrzsz's
    // receiver purges its pty's input after each answer and at times takes
    // the start of the next block with it, which costs a 10 s timeout.
    if (!openLine(false, m1, s1) || !openLine(rxSocket, m2, s2)) return 2;
    pid_t rx = startPeer(receiver, s2, m2, rxDir.empty() ? dir : rxDir);
    pid_t tx = startPeer(sender, s1, m1, dir);
    std::atomic<bool> stop{false};
    LinkTimes times;
    std::thread t([&] { relay(m2, m1, stop, times); });
    int txStatus = waitPeer(tx, 600);
    int rxStatus = waitPeer(rx, 60);
    stop = true;
    t.join();
    std::printf("sender=%d receiver=%d data_seconds=%.6f\n", txStatus, rxStatus, seconds(times));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::string dir, peer, peerDir, rxDir, text, linkTx, linkRx;
    int32_t baud = 9600;
    host::ConsoleOptions opts;
    bool peerSocket = false, bad = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--dir") dir = next();
        else if (a == "--peer") peer = next();
        else if (a == "--peer-dir") peerDir = next();
        else if (a == "--rx-dir") rxDir = next();
        else if (a == "--baud") baud = std::atoi(next());
        else if (a == "--line-pace") opts.linePace = true;
        else if (a == "--peer-socket") peerSocket = true;
        else if (a == "--drop") opts.dropRate = std::atof(next());
        else if (a == "--flip") opts.flipRate = std::atof(next());
        else if (a == "--link") linkTx = next(), linkRx = next();
        else {
            bad |= a.rfind("--", 0) == 0;
            text = a;
        }
    }
    if (bad || (linkTx.empty() && (dir.empty() || peer.empty()))) {
        std::fprintf(stderr, "usage: xmodem_host --dir DIR [--baud N] [--line-pace] [--drop R] [--flip R]\n"
                             "                   --peer CMD [--peer-dir D] [--peer-socket] COMMAND TEXT\n"
                             "       xmodem_host --link SENDER RECEIVER [--peer-dir D] [--rx-dir D] [--peer-socket]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (!linkTx.empty()) return runLink(linkTx, linkRx, peerDir, rxDir, peerSocket);

    // The peer's line: a pty, or with --peer-socket a socket pair (lrzsz
    // flushes its pty's output as it exits, which can take its last answer
    // with it before the other side has read it; a socket keeps it).
    int master, slave, sv[2];
    if (!openLine(peerSocket, master, slave) || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 2;
    // The slave stays open here: a peer that answers and exits at once must
    // not take its last bytes with it when the pty hangs up.
    pid_t pid = startPeer(peer, slave, master, peerDir);

    // The board side: platform in real time over the socket, volume of DIR.
    host::resetModeSet(host::ResetMode::Throw);
    host::clockInit(false);
    host::board().setDir(dir);
    host::board().powerOn();
    host::memoryInit();
    host::signalsReset();
    host::consoleInitStream(sv[0], opts);
    vx::ioctl(vx::STD_IN, vx::FIOBAUDRATE, baud);
    vx::ioctl(vx::STD_IN, vx::FIOSETOPTIONS, vx::OPT_TERMINAL);
    host::VolumeConfig vol;
    vol.root = dir + "/DskVol";
    vol.clusters = 14848 * 4; // room for the several-MiB transfers
    host::filesInit(vol);
    if (vx::dosFsMount("/DskVol/") != 0 || (vx::mkdir("/DskVol/files"), vx::chdir("/DskVol/files")) != 0) return 2;

    std::atomic<bool> stop{false};
    LinkTimes times;
    std::thread t([&] { relay(sv[1], master, stop, times, "before transfer starts."); });

    int rc = xmodem(text.c_str());
    int peerStatus = waitPeer(pid, 60);
    stop = true;
    t.join();
    host::consoleShutdown();
    std::printf("xmodem=%d peer=%d data_seconds=%.6f\n", rc, peerStatus, seconds(times));
    std::fflush(stdout);
    _exit(0);
}
