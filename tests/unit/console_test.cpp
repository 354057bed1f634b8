// console_test.cpp - the console tty (through a scripted peer and over a real
// socket), the telnet protocol, and the supervisor that runs the board in a
// child process.
#include "host/os/console/console.h"
#include "host/os/console/telnet.h"
#include "host/os/hostos.h"
#include "osapi.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

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
    void SetUp() override { clockInit(true), resetModeSet(ResetMode::Throw), consoleInitScripted(&peer); }
    void TearDown() override { consoleShutdown(); }
    ScriptedPeer peer;
};

// What the other tests' dialogues do not reach: Ctrl-U, Ctrl-D, the trap,
// 7-bit stripping, CR without its mapping, a line longer than the buffer, and
// timed waits with a peer that says "more" but never types.
TEST_F(ScriptedConsole, LineDisciplineAndTimedWaits)
{
    peer.type("ab\bc\x7f" "d\rone\x15two\r\b\x04" "ab\x04" "c\r\xc1\xb2\r");
    for (const char* line : {"ad\n", "two\n", "", "ab", "c\n", "A2\n"}) EXPECT_EQ(readSome(), line);
    EXPECT_EQ(peer.output(), "ab\b \bc\b \bd\r\none\b \b\b \b\b \btwo\r\nabc\r\nA2\r\n"); // Ctrl-U erased "one"
    peer.type(std::string(700, 'x') + "\r");
    EXPECT_EQ(readSome(1000).size(), 512u) << "a full buffer hands the line over as it stands";
    EXPECT_EQ(readSome(1000), std::string(188, 'x') + "\n");
    peer.type("\x18");
    EXPECT_THROW(readSome(), BoardResetRequested);
    ASSERT_EQ(vx::ioctl(0, vx::FIOSETOPTIONS, vx::OPT_TERMINAL & ~(vx::OPT_MON_TRAP | vx::OPT_CRMOD)), 0);
    peer.type("\x18\x03\r\x04");
    EXPECT_EQ(readSome(), "\x18\x03\r"); // no trap; CR is no line end without the mapping
    peer.type("stale\r");                // still with the stream
    EXPECT_EQ(vx::ioctl(0, vx::FIORFLUSH, 0), 0);
    EXPECT_EQ(vx::ioctl(0, vx::FIOBAUDRATE, 9601), -1);
    uint64_t t0 = clockNowNs();
    EXPECT_EQ(vx::selectStdin(60, 250'000), 0);
    peer.onIdle = [](ScriptedPeer&) { return true; };
    EXPECT_EQ(vx::selectStdin(1, 0), 0);
    EXPECT_EQ(clockNowNs() - t0, 61'250'000'000ull);
    EXPECT_EQ(readSome(), "") << "an untimed read ends";
}

// X-off holds the echo as well as the board's output; X-on lets both go in the
// order they were made. At most 512 bytes of echo are held: typing beyond that
// loses only its echo, never the typed bytes.
TEST_F(ScriptedConsole, XoffHoldsTheEchoAndXonReleasesItInOrder)
{
    // Typed one at a time as the board waits ("": nothing to say that time).
    std::vector<std::string> steps = {"\x11", "", "y\r", "\x11", "\x11"};
    peer.onIdle = [&](ScriptedPeer& p) {
        const std::string next = steps.empty() ? "" : steps.front();
        steps.erase(steps.begin(), steps.begin() + (steps.empty() ? 0 : 1));
        return p.type(next), !next.empty();
    };
    peer.type("\x93" "ab\r"); // X-off with the 8th bit set: stripped, still X-off
    EXPECT_EQ(readSome() + peer.output(), "ab\n") << "the echo waits for X-on";
    vx::printf("P"); // waits for X-on; the echo made before it goes first
    peer.type("\x13");
    EXPECT_EQ(vx::selectStdin(0, 0), 0);
    vx::printf("Q"); // was waiting when "y" was typed: "y" comes after
    EXPECT_EQ(readSome() + peer.output(), "y\nab\r\nPQy\r\n");
    peer.clearOutput();
    peer.type("\x13" + std::string(600, 'x') + "\r");
    std::string got = readSome(1000); // a full buffer's worth, then the rest
    EXPECT_EQ(got + readSome(1000) + peer.output(), std::string(600, 'x') + "\n");
    vx::printf("!");
    EXPECT_EQ(peer.output(), std::string(512, 'x') + "!");
}

// ---- Stream mode: the board process's console over a socket --------------------

// Reads from fd until the text holds needle (or nothing comes for a while).
std::string readUntil(int fd, const std::string& needle, int ms = 10000)
{
    std::string got;
    char buf[4096];
    for (pollfd p{fd, POLLIN, 0}; got.find(needle) == std::string::npos && ::poll(&p, 1, ms) == 1;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    return got;
}

class StreamConsole : public ::testing::Test {
protected:
    void start(const ConsoleOptions& opts = {})
    {
        clockInit(false);
        resetModeSet(ResetMode::Throw);
        stop();
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        consoleInitStream(sv[1], opts);
    }
    void stop()
    {
        consoleShutdown();
        for (int& fd : sv) fd = fd >= 0 ? ::close(fd), -1 : -1;
    }
    void TearDown() override { stop(); }
    void send(const std::string& s) { ASSERT_EQ(::send(sv[0], s.data(), s.size(), 0), ssize_t(s.size())); }
    int sv[2] = {-1, -1};
};

// (A raw line's hold-back without loss is the lrzsz transfers' ground.)
TEST_F(StreamConsole, FlushDiscardsWhatTheSocketHoldsAndADetachedLineWaits)
{
    start();
    send("stale input\r");
    EXPECT_EQ(vx::ioctl(0, vx::FIOFLUSH, 0), 0);
    send("fresh\r");
    EXPECT_EQ(readSome(), "fresh\n");

    ::close(std::exchange(sv[0], -1));
    std::string big(1 << 20, 'o'); // more than a socket holds: discarded
    EXPECT_EQ(host::consoleWrite(big.data(), big.size()), int32_t(big.size()));
    EXPECT_EQ(vx::selectStdin(0, 100'000), 0); // a timeout, not end of input
    int32_t result = 99;
    std::thread reader([&] { result = host::consoleRead(big.data(), 1); });
    consoleShutdown(); // releases the waiting read
    reader.join();
    EXPECT_EQ(result, -1);
}

// A seeded search: X-off and X-on at random places among runs of typing longer
// than the input buffer, then the board prints (held while stopped) and reads.
// Whatever the buffer holds, the last X-on releases the output, and every typed
// byte arrives, in order.
TEST_F(StreamConsole, FlowControlWorksWhateverTheBufferHolds)
{
    for (unsigned seed = 1; seed <= 16; ++seed) {
        start();
        ASSERT_EQ(vx::ioctl(0, vx::FIOSETOPTIONS, vx::OPT_TERMINAL & ~vx::OPT_ECHO), 0); // only the print comes back
        std::mt19937 rng(seed);
        std::string input, typed;
        for (int k = 0; k < 8; ++k) {
            if (unsigned r = rng() % 3; r < 2) input += r ? "\x13" : "\x11";
            else for (size_t n = rng() % 700; n > 0; --n) {
                char c = "abxyz \r"[rng() % 7];
                input += c, typed += c == '\r' ? '\n' : c;
            }
        }
        input += "\r\x11", typed += '\n';
        send(input);
        const std::string printed = "printed " + std::to_string(seed);
        std::thread board([&] { vx::printf("%s", printed.c_str()); });
        const bool released = readUntil(sv[0], printed).find(printed) != std::string::npos;
        if (!released) consoleShutdown(); // lets the stopped board go
        board.join();
        ASSERT_TRUE(released) << "seed " << seed << " input " << ::testing::PrintToString(input);
        std::string got;
        while (got.size() < typed.size() && vx::selectStdin(10, 0) == 1) got += readSome();
        ASSERT_EQ(got, typed) << "seed " << seed;
    }
}

// The console escape and the reboot trap end the board process; run it in one.
// The board reads (one read) only when asked to.
int boardExitStatus(const std::string& input, int options, bool reads)
{
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(sv[0]);
        resetModeSet(ResetMode::ExitProcess);
        consoleInitStream(sv[1], {true, false, 0.0, 0.0});
        vx::ioctl(0, vx::FIOSETOPTIONS, options);
        if (::write(sv[1], "!", 1) != 1) ::_exit(12); // tells the test it is ready
        if (!reads) ::sleep(20);
        char buf[64];
        int32_t n = host::consoleRead(buf, sizeof buf); // data ends up here
        ::_exit(n == 2 && buf[0] == 0x1d ? 10 : 11);
    }
    int status = 0;
    ::close(sv[1]);
    if (char c; ::read(sv[0], &c, 1) != 1 || ::send(sv[0], input.data(), input.size(), 0) < 0) ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ::close(sv[0]);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ConsoleEscape, CtrlBracketAndTheTrapWorkWhateverTheBufferHoldsButNotOnARawLine)
{
    const std::string full(3000, 'x');
    struct Case { std::string input; int options; bool reads; int status; };
    const Case cases[] = {{"\x1dq", 0x7f, true, kExitQuit}, {"\x1dp", 0x03, true, kExitPowerCycle}, {"\x1dx", 0x03, true, 10},
                          {"\x1dq", 0, true, 10}, {full + "\x1dr", 0x7f, false, kExitReset}, {full + "\x18", 0x7f, false, kExitReset}};
    for (const Case& c : cases) EXPECT_EQ(boardExitStatus(c.input, c.options, c.reads), c.status) << c.input.size();
}

// A pty's board keeps what it prints while no terminal has it open (the last 64 KiB).
TEST(PtyConsole, OutputWaitsForTheNextTerminal)
{
    int m = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(m >= 0 && ::grantpt(m) == 0 && ::unlockpt(m) == 0);
    const std::string name = ::ptsname(m);
    termios t{};
    ASSERT_TRUE(::tcgetattr(m, &t) == 0 && (::cfmakeraw(&t), ::tcsetattr(m, TCSANOW, &t)) == 0);
    ::close(::open(name.c_str(), O_RDWR | O_NOCTTY)); // a slave closed once reports the hang-up
    ::fcntl(m, F_SETFL, O_NONBLOCK); // as tarnboot's
    consoleInitStream(m, {});
    const std::string big = std::string(100000, 'a') + "end";
    EXPECT_EQ(host::consoleWrite(big.data(), big.size()), int32_t(big.size()));
    int s = ::open(name.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_EQ(readUntil(s, "end"), big.substr(big.size() - 65536));
    consoleShutdown();
    for (int fd : {s, m}) ::close(fd);
}

// ---- Telnet ---------------------------------------------------------------------

TEST(Telnet, NegotiatesOnceAndPassesDataThroughBothModes)
{
    using T = TelnetCodec;
    auto cmd = [](uint8_t verb, uint8_t opt) { return std::string{char(T::kIac), char(verb), char(opt)}; };
    auto bytes = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
    T t;
    EXPECT_EQ(t.greeting(), cmd(T::kWill, T::kEcho) + cmd(T::kWill, T::kSga) + cmd(T::kWill, T::kBinary) +
                                cmd(T::kDo, T::kSga) + cmd(T::kDo, T::kBinary));
    std::string data, reply;
    // Not binary yet: Enter is CR NUL or CR LF; an unknown option is refused, subnegotiation skipped.
    const std::string in = std::string("ab\r\0cd\r\nx\r", 11) + cmd(T::kWill, 31) + "\xff\xfa\x18\x01\xff\xf0" + "y\xff\xff";
    t.decode(bytes(in), in.size(), data, reply);
    EXPECT_EQ(data, "ab\rcd\rx\ry\xff");
    EXPECT_EQ(reply, cmd(T::kDont, 31));
    std::string wire;
    t.encode(bytes("a\rb\r\n\xff"), 6, wire);
    EXPECT_EQ(wire, std::string("a\r\0b\r\n\xff\xff", 8));
    // The client agrees to everything asked: nothing more is said, both ways are binary.
    const std::string agree = cmd(T::kDo, T::kEcho) + cmd(T::kDo, T::kSga) + cmd(T::kDo, T::kBinary) +
                              cmd(T::kWill, T::kSga) + cmd(T::kWill, T::kBinary) + cmd(T::kDo, T::kBinary);
    reply.clear();
    t.decode(bytes(agree), agree.size(), data, reply);
    EXPECT_EQ(reply, "");
    ASSERT_TRUE(t.binaryIn() && t.binaryOut());
    // Binary: any bytes pass both ways untouched apart from IAC doubling (seeded).
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        std::string sent, enc, got, back;
        for (size_t n = rng() % 300; n > 0; --n) sent += rng() % 2 ? char(rng()) : "\r\n\0\xff\xfe\x11"[rng() % 6];
        for (char c : sent) enc += c == '\xff' ? std::string("\xff\xff") : std::string(1, c);
        t.decode(bytes(enc), enc.size(), got, reply);
        EXPECT_EQ(got, sent);
        t.encode(bytes(sent), sent.size(), back);
        EXPECT_EQ(back, enc);
    }
    EXPECT_EQ(reply, "");
}

// ---- The supervisor ---------------------------------------------------------------
// tarnboot's supervising process runs in a child of the test with its standard
// input and output on a socket (io) and its standard error on a pipe (err).

struct Supervised {
    pid_t pid = -1;
    int io = -1, err = -1;
    ~Supervised()
    {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
        for (int fd : {io, err}) ::close(fd);
    }
    int status() // tarnboot's exit status, or 1000 + signal
    {
        int st = 0;
        ::waitpid(std::exchange(pid, -1), &st, 0);
        return WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + WTERMSIG(st);
    }
};

// A tiny board: says "up PID;" as it starts; letters end it in the ways a board ends.
int tinyBoard(int fd, bool)
{
    std::string up = "up " + std::to_string(::getpid()) + ";";
    if (::write(fd, up.data(), up.size()) < 0) return 1;
    const std::map<char, int> ends = {{'r', kExitReset},    {'p', kExitPowerCycle}, {'q', kExitQuit}, {'h', kExitHandover},
                                      {'d', kExitDeadBoard}, {'c', kExitPowerCut},   {'x', 42}};
    for (char c = 0;; c = 0, ::usleep(1000)) { // a pty's master: non-blocking, EIO while no terminal has it open
        if (ssize_t r = ::read(fd, &c, 1); r == 0 || (r < 0 && errno != EAGAIN && errno != EIO)) break;
        if (c == 'k') ::raise(SIGKILL);
        if (ends.count(c)) return ends.at(c);
    }
    return 1;
}

void supervise(Supervised& s, bool exitOnReset = false, AttachConfig cfg = {})
{
    int sv[2], ep[2];
    ASSERT_TRUE(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0 && ::pipe(ep) == 0);
    if ((s.pid = ::fork()) == 0) {
        for (int to : {0, 1, 2}) ::dup2(to < 2 ? sv[1] : ep[1], to);
        for (int fd : {sv[0], sv[1], ep[0], ep[1]}) ::close(fd);
        ::_exit(superviseBoard(cfg, exitOnReset, tinyBoard));
    }
    for (int fd : {sv[1], ep[1]}) ::close(fd);
    s.io = sv[0], s.err = ep[0];
}

// The process id in the tiny board's "up PID;" (empty when none came).
std::string boardUp(int fd)
{
    std::string got = readUntil(fd, ";");
    size_t at = got.rfind("up ");
    return at == std::string::npos || got.back() != ';' ? "" : got.substr(at + 3, got.size() - at - 4);
}

TEST(Supervisor, ExitStatusesFollowHowTheBoardEnded)
{
    // how: a byte the board reads, -signal to tarnboot, 1000 + signal to the board process, 0 end of input.
    struct Case { int how; bool exitOnReset; int status; };
    const Case cases[] = {{'q', false, kStatusOk}, {'h', false, kStatusOk}, {'d', false, kStatusDeadBoard},
                          {'c', false, kStatusPowerCut}, {'x', false, kStatusHostError}, {'k', false, kStatusHostError},
                          {'r', true, kStatusResetExit}, {'p', true, kStatusResetExit}, {-SIGUSR1, true, kStatusResetExit},
                          {-SIGTERM, false, 128 + SIGTERM}, {0, false, kStatusOk}, {1000 + SIGUSR1, true, kStatusResetExit},
                          {1000 + SIGUSR2, true, kStatusResetExit}, {1000 + SIGTERM, false, 128 + SIGTERM},
                          {-SIGUSR2, true, kStatusResetExit}};
    for (const Case& c : cases) {
        Supervised s;
        supervise(s, c.exitOnReset);
        std::string id = boardUp(s.io);
        ASSERT_FALSE(id.empty());
        if (c.how >= 1000) ::kill(std::stoi(id), c.how - 1000);
        else if (char b = char(c.how); c.how > 0) ASSERT_EQ(::write(s.io, &b, 1), 1);
        else if (c.how < 0) ::kill(s.pid, -c.how);
        else ::shutdown(s.io, SHUT_WR);
        EXPECT_EQ(s.status(), c.status) << c.how;
        const bool named = readUntil(s.err, "\n", 100).find("tarnboot: the board's process " + id) != std::string::npos;
        EXPECT_EQ(named, c.how == 'k' || c.how == 'x') << c.how; // a board that ended in no way of its own
    }
}

// Opens a peer on the attachment the supervisor described on its standard
// error ("tarnboot: console on /dev/pts/N" or "... on tcp 127.0.0.1:PORT").
int openPeer(const std::string& err)
{
    const std::string pty = "tarnboot: console on /dev/pts/", tcp = "tarnboot: console on tcp 127.0.0.1:";
    if (err.rfind(pty, 0) == 0) return ::open(err.substr(21, err.find('\n') - 21).c_str(), O_RDWR | O_NOCTTY);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{AF_INET, htons(uint16_t(std::atoi(err.c_str() + tcp.size()))), {htonl(INADDR_LOOPBACK)}, {}};
    if (err.rfind(tcp, 0) == 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    ::close(fd);
    return -1;
}

// The board powers on for the first peer, which sees what it printed; a
// second TCP client is turned away; what the board prints while no peer is
// attached (here after a reset) reaches the next one.
TEST(Supervisor, PeersComeAndGoAndTheBoardsOutputWaitsForThem)
{
    for (AttachKind kind : {AttachKind::Pty, AttachKind::Tcp}) {
        Supervised s;
        supervise(s, false, {kind, 0, false});
        std::string err = readUntil(s.err, "attaches\n"), id;
        for (int round = 0; round < 3; ++round) {
            int fd = openPeer(err);
            ASSERT_GE(fd, 0) << err;
            std::string now = boardUp(fd);
            ASSERT_FALSE(now.empty()) << err << " round " << round;
            EXPECT_NE(now, id) << "a new board after each reset";
            if (kind == AttachKind::Tcp) {
                int second = openPeer(err);
                EXPECT_EQ(readUntil(second, "\n"), "console in use\r\n");
                ::close(second);
            }
            ::close(fd);
            id = now;
            ::kill(s.pid, SIGUSR1);
        }
        ::kill(s.pid, SIGTERM);
        EXPECT_EQ(s.status(), 128 + SIGTERM);
    }
}

} // namespace
