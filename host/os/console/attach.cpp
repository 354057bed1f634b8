// console/attach.cpp - the console attachments (see console/attach.h).
#include "host/os/console/attach.h"
#include "host/os/console/telnet.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace host {

TerminalRawMode::TerminalRawMode(int fd) : fd_(fd)
{
    if (::isatty(fd_) && ::tcgetattr(fd_, &original_) == 0) {
        saved_ = true;
        apply();
    }
}

TerminalRawMode::~TerminalRawMode() { restore(); }

void TerminalRawMode::apply()
{
    if (!saved_) return;
    termios raw = original_;
    ::cfmakeraw(&raw);
    ::tcsetattr(fd_, TCSANOW, &raw);
}

void TerminalRawMode::restore()
{
    if (saved_) ::tcsetattr(fd_, TCSANOW, &original_);
}

void Attachment::decode(const char* p, size_t n, std::string& data, std::string&) { data.append(p, n); }
void Attachment::encode(const char* p, size_t n, std::string& wire) { wire.append(p, n); }

namespace {

void setNonBlocking(int fd)
{
    int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) ::fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

// The host's standard input and output. The end of standard input ends
// tarnboot; a terminal is in raw mode for the whole run.
class StdioAttachment : public Attachment {
public:
    StdioAttachment() : term_(STDIN_FILENO) {}
    int inFd() const override { return inOpen_ ? STDIN_FILENO : -1; }
    int outFd() const override { return outOpen_ ? STDOUT_FILENO : -1; }
    bool inputEnded() override
    {
        inOpen_ = false;
        return true;
    }
    void outputFailed() override { outOpen_ = false; }
    void prepare() override { term_.apply(); }
    void releaseInChild() override
    {
        // The board reads only its socket: keep it off the host's input.
        int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::close(null);
        }
    }
    bool escapeEnabled() const override { return term_.active(); }

private:
    TerminalRawMode term_;
    bool inOpen_ = true, outOpen_ = true;
};

// A pseudo-terminal whose slave side terminal programs open and close as
// they like. The master is kept all along; a peer is present while the
// master does not report a hang-up.
class PtyAttachment : public Attachment {
public:
    static std::unique_ptr<Attachment> open()
    {
        int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m < 0 || ::grantpt(m) != 0 || ::unlockpt(m) != 0) {
            std::fprintf(stderr, "tarnboot: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
            if (m >= 0) ::close(m);
            return nullptr;
        }
        const char* name = ::ptsname(m);
        // Raw on the slave side, set through the master: the settings stay
        // for every peer that opens it (no echo of the board's output).
        termios t{};
        if (::tcgetattr(m, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(m, TCSANOW, &t);
        }
        setNonBlocking(m);
        // A master whose slave side was never opened reports no hang-up: open
        // and close it once, so that the master tells when a peer is there.
        if (name) {
            int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (s >= 0) ::close(s);
        }
        std::fprintf(stderr, "tarnboot: console on %s\n", name ? name : "?");
        std::fflush(stderr);
        auto a = std::unique_ptr<PtyAttachment>(new PtyAttachment(m));
        a->retry();
        return a;
    }
    ~PtyAttachment() override { ::close(master_); }
    int inFd() const override { return peer_ ? master_ : -1; }
    int outFd() const override { return peer_ ? master_ : -1; }
    unsigned peerSerial() const override { return serial_; }
    bool hasPeerToWaitFor() const override { return true; }
    int retryMs() const override { return 20; }
    void retry() override
    {
        pollfd p{master_, POLLIN, 0};
        bool now = ::poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
        if (now && !peer_) ++serial_;
        peer_ = now;
    }
    bool inputEnded() override
    {
        peer_ = false;
        return false;
    }
    void outputFailed() override { peer_ = false; }
    void releaseInChild() override {}
    int boardFd() const override { return master_; }

private:
    explicit PtyAttachment(int master) : master_(master) {}
    int master_;
    bool peer_ = false;
    unsigned serial_ = 0;
};

// One TCP client at a time on 127.0.0.1 (the next is accepted after it
// leaves; one that comes meanwhile is told the console is in use), plain or
// speaking telnet.
class TcpAttachment : public Attachment {
public:
    static std::unique_ptr<Attachment> open(int port, bool telnet)
    {
        if (port < 0 || port > 65535) {
            std::fprintf(stderr, "tarnboot: bad console port %d\n", port);
            return nullptr;
        }
        int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (s < 0 || ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
            ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 4) != 0 ||
            ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            std::fprintf(stderr, "tarnboot: cannot listen on 127.0.0.1:%d: %s\n", port, std::strerror(errno));
            if (s >= 0) ::close(s);
            return nullptr;
        }
        setNonBlocking(s);
        std::fprintf(stderr, "tarnboot: console on %s 127.0.0.1:%d\n", telnet ? "telnet" : "tcp",
                     int(ntohs(addr.sin_port)));
        std::fflush(stderr);
        return std::unique_ptr<Attachment>(new TcpAttachment(s, telnet));
    }
    ~TcpAttachment() override
    {
        dropClient();
        ::close(listen_);
    }
    int inFd() const override { return client_; }
    int outFd() const override { return client_; }
    unsigned peerSerial() const override { return serial_; }
    bool hasPeerToWaitFor() const override { return true; }
    int waitFd() const override { return listen_; }
    void onWaitReady() override
    {
        int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c < 0) return;
        if (client_ >= 0) {
            static const char kInUse[] = "console in use\r\n";
            if (::send(c, kInUse, sizeof kInUse - 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
                // The client learns it from the closed connection alone.
            }
            ::close(c);
            return;
        }
        client_ = c;
        ++serial_;
        telnet_ = TelnetCodec{};
    }
    void decode(const char* p, size_t n, std::string& data, std::string& reply) override
    {
        if (!isTelnet_) return Attachment::decode(p, n, data, reply);
        telnet_.decode(reinterpret_cast<const uint8_t*>(p), n, data, reply);
    }
    std::string greeting() override { return isTelnet_ ? telnet_.greeting() : std::string(); }
    void encode(const char* p, size_t n, std::string& wire) override
    {
        if (!isTelnet_) return Attachment::encode(p, n, wire);
        telnet_.encode(reinterpret_cast<const uint8_t*>(p), n, wire);
    }
    bool inputEnded() override
    {
        dropClient();
        return false;
    }
    void outputFailed() override { dropClient(); }
    void releaseInChild() override
    {
        if (client_ >= 0) ::close(client_);
        ::close(listen_);
    }

private:
    TcpAttachment(int s, bool telnet) : listen_(s), isTelnet_(telnet) {}
    void dropClient()
    {
        if (client_ >= 0) ::close(client_);
        client_ = -1;
    }
    int listen_;
    int client_ = -1;
    unsigned serial_ = 0;
    bool isTelnet_;
    TelnetCodec telnet_;
};

} // namespace

std::unique_ptr<Attachment> makeAttachment(const AttachConfig& cfg)
{
    switch (cfg.kind) {
    case AttachKind::Stdio: return std::make_unique<StdioAttachment>();
    case AttachKind::Pty: return PtyAttachment::open();
    case AttachKind::Tcp: return TcpAttachment::open(cfg.tcpPort, false);
    case AttachKind::Telnet: return TcpAttachment::open(cfg.tcpPort, true);
    }
    return nullptr;
}

} // namespace host
