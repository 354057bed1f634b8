// console/attach.h - where the supervisor's end of the console goes: the
// host's standard input/output, a pseudo-terminal, or a TCP client on
// 127.0.0.1 (plain or telnet). An attachment outlives board resets; peers
// may come and go.
#pragma once

#include "host/os/console/console.h"

#include <memory>
#include <string>
#include <termios.h>

namespace host {

class Attachment {
public:
    virtual ~Attachment() = default;

    // Descriptors to the peer; -1 while no peer is attached (output is then
    // kept for the next peer, and nothing is read).
    virtual int inFd() const = 0;
    virtual int outFd() const = 0;
    // Counts the peers attached so far, so that a new one gets a fresh start.
    virtual unsigned peerSerial() const { return 0; }
    // True when the board should wait for the first peer before powering on.
    virtual bool hasPeerToWaitFor() const { return false; }
    // Bytes from the peer as the board gets them, and answers owed to the
    // peer (protocol); what a new peer is told first; the board's output as
    // the peer gets it.
    virtual void decode(const char* p, size_t n, std::string& data, std::string& reply);
    virtual std::string greeting() { return {}; }
    virtual void encode(const char* p, size_t n, std::string& wire);
    // A descriptor to watch for readability all along (a listening socket),
    // with what to do when it is ready; -1 for none.
    virtual int waitFd() const { return -1; }
    virtual void onWaitReady() {}
    // While no peer is attached: look again this often (ms; -1 never).
    virtual int retryMs() const { return -1; }
    virtual void retry() {}
    // The peer's input ended or failed. True when that ends tarnboot.
    virtual bool inputEnded() = 0;
    // Writing to the peer failed.
    virtual void outputFailed() = 0;
    // Before each board start: put the host side in the state the board needs.
    virtual void prepare() {}
    // In the board's process: let go of what the board must not hold.
    virtual void releaseInChild() = 0;
    virtual bool escapeEnabled() const { return false; }
    // A descriptor the board's process uses as its console itself, once
    // started (the supervisor then relays nothing); -1 for none.
    virtual int boardFd() const { return -1; }
};

// Makes the attachment; on failure prints why on the host's standard error
// and returns nullptr.
std::unique_ptr<Attachment> makeAttachment(const AttachConfig& cfg);

// Raw mode on a terminal for as long as it lives; the settings found are put
// back when it ends (and by restore()).
class TerminalRawMode {
public:
    explicit TerminalRawMode(int fd);
    ~TerminalRawMode();
    TerminalRawMode(const TerminalRawMode&) = delete;
    TerminalRawMode& operator=(const TerminalRawMode&) = delete;
    bool active() const { return saved_; }
    void apply();
    void restore();

private:
    int fd_;
    bool saved_ = false;
    termios original_{};
};

} // namespace host
