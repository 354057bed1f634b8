// console_test.cpp - the console tty (through a scripted peer and over a real
// socket) and the supervisor that runs the board in a child process.
#include "host/os/console.h"
#include "host/os/hostos.h"
#include "osapi.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>


using namespace host;

namespace {

std::string readSome(size_t n = 1024)
{
    std::string s(n, '\0');
    int32_t r = consoleRead(s.data(), n);
    s.resize(r > 0 ? size_t(r) : 0);
    return s;
}

class ScriptedConsole : public ::testing::Test {
protected:
    void SetUp() override
    {
        clockInit(true);
        resetModeSet(ResetMode::Throw);
        consoleInitScripted(&peer);
    }
    void TearDown() override { consoleShutdown(); }
    void setOptions(int o) { ASSERT_EQ(vx::ioctl(0, vx::FIOSETOPTIONS, o), 0); }
    ScriptedPeer peer;
};

TEST_F(ScriptedConsole, LineEditingEchoesAndDeliversOneLineAtATime)
{
    peer.type("ab\bc\x7f" "d\rone\x15two\rx\r");
    EXPECT_EQ(readSome(), "ad\n");
    EXPECT_EQ(readSome(), "two\n"); // Ctrl-U erased "one"
    EXPECT_EQ(readSome(2), "x\n");
    EXPECT_EQ(peer.output(), "ab\b \bc\b \bd\r\none\b \b\b \b\b \btwo\r\nx\r\n");
    // Backspace on an empty line erases nothing and echoes nothing.
    peer.clearOutput();
    peer.type("\b\by\r");
    EXPECT_EQ(readSome(), "y\n");
    EXPECT_EQ(peer.output(), "y\r\n");
}

TEST_F(ScriptedConsole, CtrlDGivesOneEndOfInputAtLineStartAndThePartialLineMidLine)
{
    peer.type("\x04" "ab\x04" "c\r");
    EXPECT_EQ(readSome(), "");
    EXPECT_EQ(readSome(), "ab");
    EXPECT_EQ(readSome(), "c\n");
    // A silent peer: an untimed read is end of input, fgets gives no line.
    EXPECT_EQ(readSome(), "");
    char buf[8];
    EXPECT_EQ(vx::fgetsStdin(buf, sizeof buf), nullptr);
}

TEST_F(ScriptedConsole, FgetsKeepsTheNewlineWhenItFitsAndSplitsLongLines)
{
    peer.type("abcdef\rok\r");
    char buf[4];
    ASSERT_NE(vx::fgetsStdin(buf, sizeof buf), nullptr);
    EXPECT_STREQ(buf, "abc");
    ASSERT_NE(vx::fgetsStdin(buf, sizeof buf), nullptr);
    EXPECT_STREQ(buf, "def");
    ASSERT_NE(vx::fgetsStdin(buf, sizeof buf), nullptr);
    EXPECT_STREQ(buf, "\n");
    ASSERT_NE(vx::fgetsStdin(buf, sizeof buf), nullptr);
    EXPECT_STREQ(buf, "ok\n");
    EXPECT_EQ(vx::fgetsStdin(buf, 0), nullptr);
    EXPECT_EQ(vx::fgetsStdin(nullptr, 4), nullptr);
}

TEST_F(ScriptedConsole, OutputMappingAndFormatting)
{
    EXPECT_EQ(vx::printf("a\nb %d|%-4s|%08x\n", 7, "x", 0xbeef), 20);
    EXPECT_EQ(peer.output(), "a\r\nb 7|x   |0000beef\r\n");
    vx::printErr("err\n");
    EXPECT_EQ(peer.output().substr(22), "err\r\n");

    setOptions(vx::OPT_TERMINAL & ~vx::OPT_CRMOD);
    peer.clearOutput();
    peer.type("q\r\x04");
    EXPECT_EQ(readSome(), "q\r"); // CR is not a line end here: Ctrl-D delivers it
    peer.clearOutput();
    std::string big(3000, 'z');
    big[2999] = '\n';
    EXPECT_EQ(vx::printf("%s", big.c_str()), 3000);
    EXPECT_EQ(peer.output(), big); // no truncation, no mapping
}

TEST_F(ScriptedConsole, SevenBitStrippingAndTheRebootTrap)
{
    peer.type("\xc1\xb2\r");
    EXPECT_EQ(readSome(), "A2\n");
    peer.type("\x18");
    EXPECT_THROW(readSome(), BoardResetRequested);
    setOptions(vx::OPT_TERMINAL & ~vx::OPT_MON_TRAP);
    peer.type("\x18\x03\r"); // no trap, and Ctrl-C without an abort hook is ordinary
    EXPECT_EQ(readSome(), "\x18\x03\n");
}

TEST_F(ScriptedConsole, RawModeIsEightBitCleanWithoutEchoOrMapping)
{
    setOptions(vx::OPT_RAW);
    std::string all;
    for (int i = 0; i < 256; ++i) all += char(i);
    peer.type(all);
    std::string got;
    while (got.size() < all.size()) {
        std::string part = readSome(100);
        ASSERT_FALSE(part.empty());
        got += part;
    }
    EXPECT_EQ(got, all);
    EXPECT_EQ(peer.output(), "");
    EXPECT_EQ(host::consoleWrite(all.data(), all.size()), 256);
    EXPECT_EQ(peer.output(), all);
}

TEST_F(ScriptedConsole, LineLongerThanTheBufferArrivesWhole)
{
    std::string line(700, 'x');
    peer.type(line + "\r");
    std::string first = readSome(1000);
    EXPECT_EQ(first.size(), 512u);
    EXPECT_EQ(first + readSome(1000), line + "\n");
}

TEST_F(ScriptedConsole, FlushRequestsDiscardBufferedAndHeldInput)
{
    for (int req : {vx::FIOFLUSH, vx::FIORFLUSH}) {
        peer.type("a");
        EXPECT_EQ(vx::selectStdin(0, 0), 1); // "a" is in the buffer
        peer.type("stale\r");                // still with the stream
        EXPECT_EQ(vx::ioctl(0, req, 0), 0);
        EXPECT_EQ(vx::selectStdin(0, 0), 0);
        peer.type("new\r");
        EXPECT_EQ(readSome(), "new\n");
    }
}

TEST_F(ScriptedConsole, RequestsOptionsAndBaudRates)
{
    EXPECT_EQ(vx::ioctl(0, vx::FIOGETOPTIONS, 0), 0x7f);
    setOptions(0x2f);
    EXPECT_EQ(vx::ioctl(1, vx::FIOGETOPTIONS, 0), 0x2f);
    int32_t baud = -1;
    EXPECT_EQ(vx::ioctl(0, vx::SIO_BAUD_GET, intptr_t(&baud)), 0);
    EXPECT_EQ(baud, 9600);
    for (int b : {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}) EXPECT_EQ(vx::ioctl(0, vx::FIOBAUDRATE, b), 0);
    for (int b : {0, -1, 300, 9601, 230400}) EXPECT_EQ(vx::ioctl(0, vx::FIOBAUDRATE, b), -1);
    EXPECT_EQ(vx::ioctl(2, vx::SIO_BAUD_GET, intptr_t(&baud)), 0);
    EXPECT_EQ(baud, 115200);
    EXPECT_EQ(vx::ioctl(0, vx::SIO_BAUD_GET, 0), -1);
    EXPECT_EQ(vx::ioctl(3, vx::FIOGETOPTIONS, 0), -1);
    EXPECT_EQ(vx::ioctl(0, 12345, 0), -1);
}

TEST_F(ScriptedConsole, TimedWaitsCostNothingAndReadinessIsAnyByte)
{
    uint64_t t0 = clockNowNs();
    EXPECT_EQ(vx::selectStdin(60, 0), 0);
    EXPECT_EQ(vx::selectStdin(0, 250'000), 0);
    EXPECT_EQ(clockNowNs() - t0, 60'250'000'000ull);

    // A peer that answers after some rounds of waiting.
    int rounds = 0;
    peer.onIdle = [&](ScriptedPeer& p) {
        if (++rounds == 3) p.type("ab"); // no line end yet
        return true;
    };
    EXPECT_EQ(vx::selectStdin(10, 0), 1);
    EXPECT_EQ(rounds, 3);
    EXPECT_LT(clockNowNs() - t0, 61'000'000'000ull);
    peer.onIdle = nullptr;
    peer.type("c\r");
    EXPECT_EQ(readSome(), "abc\n");

    // A peer that always says "more" but never types: timed waits still end
    // at their deadline and untimed reads end.
    peer.onIdle = [](ScriptedPeer&) { return true; };
    t0 = clockNowNs();
    EXPECT_EQ(vx::selectStdin(1, 0), 0);
    EXPECT_EQ(clockNowNs() - t0, 1'000'000'000ull);
    EXPECT_EQ(readSome(), "");
}

TEST_F(ScriptedConsole, XoffHoldsOutputUntilXonAndIsNotStored)
{
    bool heldBack = false;
    peer.onIdle = [&](ScriptedPeer& p) {
        heldBack = p.output().empty();
        p.type("\x11");
        return true;
    };
    peer.type("\x13" "k");
    EXPECT_EQ(vx::selectStdin(0, 0), 1); // takes Ctrl-S and k
    peer.clearOutput();
    vx::printf("hello");
    EXPECT_TRUE(heldBack);
    EXPECT_EQ(peer.output(), "hello");
    peer.onIdle = nullptr;
    peer.type("\r");
    EXPECT_EQ(readSome(), "k\n");

    // Turning flow control off releases a stopped line.
    peer.type("\x13");
    EXPECT_EQ(vx::selectStdin(0, 0), 0);
    setOptions(vx::OPT_RAW);
    peer.clearOutput();
    vx::printf("go");
    EXPECT_EQ(peer.output(), "go");
}

// ---- Stream mode: the board process's console over a socket --------------------

bool waitReadable(int fd, int ms = 10000)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

class StreamConsole : public ::testing::Test {
protected:
    void start(const ConsoleOptions& opts = {})
    {
        clockInit(false);
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        consoleInitStream(sv[1], opts);
    }
    void TearDown() override
    {
        consoleShutdown();
        for (int fd : sv)
            if (fd >= 0) ::close(fd);
    }
    void send(const std::string& s) { ASSERT_EQ(::send(sv[0], s.data(), s.size(), 0), ssize_t(s.size())); }
    int sv[2] = {-1, -1};
};

TEST_F(StreamConsole, ReaderStopsWhileTheBufferIsFullAndDropsNothing)
{
    start();
    ASSERT_EQ(vx::ioctl(0, vx::FIOSETOPTIONS, 0), 0);
    std::string data;
    for (int i = 0; i < 5000; ++i) data += char((i * 7 + i / 256) & 0xff);
    send(data);
    std::string got;
    while (got.size() < data.size()) {
        ASSERT_EQ(vx::selectStdin(10, 0), 1);
        std::string part = readSome(37); // slower, smaller reads than the arrivals
        ASSERT_FALSE(part.empty());
        got += part;
    }
    EXPECT_EQ(got, data);
}

TEST_F(StreamConsole, FlushDiscardsWhatTheSocketHolds)
{
    start();
    send("stale input\r");
    EXPECT_EQ(vx::ioctl(0, vx::FIOFLUSH, 0), 0);
    send("fresh\r");
    EXPECT_EQ(readSome(), "fresh\n");
}

TEST_F(StreamConsole, DetachedLineWaitsAndDiscardsOutput)
{
    start();
    ::close(sv[0]);
    sv[0] = -1;
    std::string big(1 << 20, 'o'); // more than a socket holds
    EXPECT_EQ(host::consoleWrite(big.data(), big.size()), int32_t(big.size()));
    EXPECT_EQ(vx::selectStdin(0, 100'000), 0); // a timeout, not end of input
    int32_t result = 99;
    std::thread reader([&] {
        char c;
        result = host::consoleRead(&c, 1);
    });
    consoleShutdown(); // releases the waiting read
    reader.join();
    EXPECT_EQ(result, -1);
}

TEST_F(StreamConsole, FaultInjectionDropsOrFlipsReceivedBytes)
{
    start({false, false, 0.0, 1.0});
    ASSERT_EQ(vx::ioctl(0, vx::FIOSETOPTIONS, 0), 0);
    std::string sent = "ABCDEFGH";
    send(sent);
    std::string got;
    while (got.size() < sent.size()) got += readSome(sent.size() - got.size());
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(__builtin_popcount(uint8_t(sent[i] ^ got[i])), 1) << i;
    consoleShutdown();
    ::close(sv[1]);
    ::close(sv[0]);
    start({false, false, 1.0, 0.0});
    send("lost\r");
    EXPECT_EQ(vx::selectStdin(0, 100'000), 0);
}

// The console escape ends the board process; run it in one.
int escapeExitStatus(const std::string& input, int options)
{
    int sv[2], ready[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0 || ::pipe(ready) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(sv[0]);
        consoleInitStream(sv[1], {true, false, 0.0, 0.0});
        vx::ioctl(0, vx::FIOSETOPTIONS, options);
        if (::write(ready[1], "!", 1) != 1) ::_exit(12);
        char buf[64];
        int32_t n = host::consoleRead(buf, sizeof buf); // data ends up here
        ::_exit(n == 2 && buf[0] == 0x1d ? 10 : 11);
    }
    ::close(sv[1]);
    ::close(ready[1]);
    char c;
    bool started = ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
    if (!started || ::send(sv[0], input.data(), input.size(), 0) < 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(sv[0]);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ConsoleEscape, CtrlBracketCommandsEndTheBoardOnlyWhenTheLineIsNotRaw)
{
    EXPECT_EQ(escapeExitStatus("\x1dq", 0x7f), kExitQuit);
    EXPECT_EQ(escapeExitStatus("\x1dr", 0x7f), kExitReset);
    EXPECT_EQ(escapeExitStatus("\x1dp", 0x03), kExitPowerCycle);
    EXPECT_EQ(escapeExitStatus("\x1dx", 0x03), 10); // both bytes pass
    EXPECT_EQ(escapeExitStatus("\x1dq", 0), 10);    // raw: data
}

// ---- The supervisor ---------------------------------------------------------------
// tarnboot's supervising process runs in a child of the test with its standard
// input and output on a socket (io) and its standard error on a pipe (err).

struct Supervised {
    pid_t pid = -1;
    int io = -1;
    int err = -1;
    ~Supervised()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (io >= 0) ::close(io);
        if (err >= 0) ::close(err);
    }
    // tarnboot's exit status, or 1000 + signal.
    int status()
    {
        int st = 0;
        ::waitpid(pid, &st, 0);
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + WTERMSIG(st);
    }
};

using RunBoard = std::function<int(int, bool)>;

void supervise(Supervised& s, const RunBoard& board, bool exitOnReset = false, AttachConfig cfg = {})
{
    int sv[2], ep[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(::pipe(ep), 0);
    s.pid = ::fork();
    if (s.pid == 0) {
        ::dup2(sv[1], 0);
        ::dup2(sv[1], 1);
        ::dup2(ep[1], 2);
        for (int fd : {sv[0], sv[1], ep[0], ep[1]}) ::close(fd);
        ::_exit(superviseBoard(cfg, exitOnReset, board));
    }
    ::close(sv[1]);
    ::close(ep[1]);
    s.io = sv[0];
    s.err = ep[0];
}

// Reads from fd until the text holds needle (or nothing comes for 10 s).
std::string readUntil(int fd, const std::string& needle, int ms = 10000)
{
    std::string got;
    char buf[4096];
    while (got.find(needle) == std::string::npos && waitReadable(fd, ms)) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    return got;
}

void put(int fd, const std::string& s) { ASSERT_EQ(::write(fd, s.data(), s.size()), ssize_t(s.size())); }

// A tiny board: '?' prints its process id; letters end it in the ways a board ends.
int tinyBoard(int fd, bool)
{
    char c;
    while (::read(fd, &c, 1) == 1) {
        switch (c) {
        case '?': {
            std::string id = "boot " + std::to_string(::getpid()) + ";";
            if (::write(fd, id.data(), id.size()) < 0) return 1;
            break;
        }
        case 'r': return kExitReset;
        case 'p': return kExitPowerCycle;
        case 'q': return kExitQuit;
        case 'h': return kExitHandover;
        case 'd': return kExitDeadBoard;
        case 'c': return kExitPowerCut;
        case 'x': return 42;
        case 'k': ::raise(SIGKILL); break;
        case 'e': // echo everything from here on
            for (char b; ::read(fd, &b, 1) == 1;)
                if (::write(fd, &b, 1) != 1) return 1;
            return 1;
        }
    }
    return 1;
}

// Asks the board who it is until one other than `previous` answers (bytes
// sent while a board restarts may reach the old one).
std::string bootId(int fd, const std::string& previous = "")
{
    for (int i = 0; i < 200; ++i) {
        if (::write(fd, "?", 1) != 1) return "";
        std::string got = readUntil(fd, ";", 100);
        size_t at = got.rfind("boot ");
        if (at != std::string::npos && got.back() == ';') {
            std::string id = got.substr(at + 5, got.size() - at - 6);
            if (id != previous) return id;
        }
    }
    return "";
}

// Ends the tiny board's run: a byte it reads (how > 0), a signal to the
// supervisor (how < 0) or the end of the host's input (0).
void endWith(Supervised& s, int how)
{
    if (how > 0) put(s.io, std::string(1, char(how)));
    else if (how < 0) ::kill(s.pid, -how);
    else ::shutdown(s.io, SHUT_WR);
}

TEST(Supervisor, ResetsAndPowerCyclesRestartTheBoard)
{
    Supervised s;
    supervise(s, tinyBoard);
    std::string id = bootId(s.io);
    ASSERT_FALSE(id.empty());
    for (int how : {int('r'), int('p'), -SIGUSR1, -SIGUSR2}) {
        endWith(s, how);
        std::string next = bootId(s.io, id);
        ASSERT_FALSE(next.empty()) << how;
        id = next;
    }
    put(s.io, "q");
    EXPECT_EQ(s.status(), kStatusOk);
}

TEST(Supervisor, ExitStatusesFollowHowTheBoardEnded)
{
    struct Case {
        int how;
        bool exitOnReset;
        int status;
    } cases[] = {{'q', false, kStatusOk},          {'h', false, kStatusOk},          {'d', false, kStatusDeadBoard},
                 {'c', false, kStatusPowerCut},    {'x', false, kStatusHostError},   {'k', false, kStatusHostError},
                 {'r', true, kStatusResetExit},    {'p', true, kStatusResetExit},    {-SIGUSR1, true, kStatusResetExit},
                 {-SIGTERM, false, 128 + SIGTERM}, {0, false, kStatusOk}};
    for (const Case& c : cases) {
        Supervised s;
        supervise(s, tinyBoard, c.exitOnReset);
        ASSERT_FALSE(bootId(s.io).empty());
        endWith(s, c.how);
        EXPECT_EQ(s.status(), c.status) << c.how;
    }
}

TEST(Supervisor, RelaysBulkDataBothWaysWithoutLoss)
{
    Supervised s;
    supervise(s, tinyBoard);
    ASSERT_FALSE(bootId(s.io).empty());
    put(s.io, "e");
    std::string data;
    for (int i = 0; i < 100000; ++i) data += char('0' + i % 10 + (i / 7) % 3);
    std::string got;
    size_t sent = 0;
    ::fcntl(s.io, F_SETFL, O_NONBLOCK);
    while (got.size() < data.size()) {
        pollfd p{s.io, short(POLLIN | (sent < data.size() ? POLLOUT : 0)), 0};
        ASSERT_EQ(::poll(&p, 1, 10000), 1);
        if (p.revents & POLLOUT) {
            ssize_t n = ::write(s.io, data.data() + sent, std::min<size_t>(8192, data.size() - sent));
            if (n > 0) sent += size_t(n);
        }
        if (p.revents & POLLIN) {
            char buf[8192];
            ssize_t n = ::read(s.io, buf, sizeof buf);
            ASSERT_GT(n, 0);
            got.append(buf, size_t(n));
        }
    }
    EXPECT_TRUE(got == data);
}

// Opens a peer on the attachment the supervisor described on its standard
// error ("tarnboot: console on /dev/pts/N" or "... on tcp 127.0.0.1:PORT").
int openPeer(const std::string& line)
{
    const std::string pty = "tarnboot: console on /dev/pts/", tcp = "tarnboot: console on tcp 127.0.0.1:";
    if (line.rfind(pty, 0) == 0) return ::open(line.substr(21, line.find('\n') - 21).c_str(), O_RDWR | O_NOCTTY);
    if (line.rfind(tcp, 0) != 0) return -1;
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(std::stoi(line.substr(tcp.size()))));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    ::close(fd);
    return -1;
}

TEST(Supervisor, PtyAndTcpPeersMayComeAndGo)
{
    for (AttachKind kind : {AttachKind::Pty, AttachKind::Tcp}) {
        Supervised s;
        supervise(s, tinyBoard, false, {kind, 0});
        std::string line = readUntil(s.err, "\n"), id;
        for (int round = 0; round < 3; ++round) {
            int fd = openPeer(line);
            ASSERT_GE(fd, 0) << line;
            std::string now = bootId(fd);
            ::close(fd);
            ASSERT_FALSE(now.empty()) << line << " round " << round;
            EXPECT_TRUE(round == 0 || now == id) << "the same board all along";
            id = now;
        }
        ::kill(s.pid, SIGTERM);
        EXPECT_EQ(s.status(), 128 + SIGTERM);
    }
}

} // namespace
