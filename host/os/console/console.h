// console/console.h - the console: a VxWorks-style tty driver over a byte stream, the
// scripted peer that unit tests put at the far end, and the attachment of the
// stream to the host (stdio, pty, tcp) done by the supervising process.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace host {

// ---- Board side -------------------------------------------------------------------

struct ConsoleOptions {
    bool escapeEnabled = false; // Ctrl-] q/r/p recognised (stdio on a terminal)
    bool linePace = false;      // pace both directions to the baud rate (10 bits a byte)
    double dropRate = 0.0;      // fault injection: drop received bytes at this rate
    double flipRate = 0.0;      // fault injection: flip a bit of received bytes at this rate
};

// The peer at the far end of the console in unit tests (virtual clock). The
// tty calls it synchronously: output() gets every byte the board sends; when
// the board waits for input and none is buffered, idle() may queue more with
// type() and returns true, or returns false when it has nothing more to say
// (a timed wait then lets its time pass; an untimed read gets end of input).
// Input reaches the tty only while the board waits, reads or makes a request,
// and a flush request discards what the peer has typed so far. An idle() that
// returns true without typing lets one tick (10 ms) of a timed wait pass; X-off
// from the peer holds output until its X-on, or until idle() returns false.
class ScriptedPeer {
public:
    virtual ~ScriptedPeer() = default;
    void type(const std::string& bytes) { pending_ += bytes; }
    const std::string& output() const { return out_; }
    void clearOutput() { out_.clear(); }
    // Hooks for reactive peers (protocol tests).
    std::function<void(ScriptedPeer&, const std::string& newOutput)> onOutput;
    std::function<bool(ScriptedPeer&)> onIdle;

    // Used by the tty.
    void deliverOutput(const char* p, size_t n);
    bool takeInput(std::string& into); // moves pending input; false when none
    bool idle();

private:
    std::string pending_;
    std::string out_;
};

// Board process: the console stream is fd (a socket to the supervisor, or the
// master of the console's pseudo-terminal, read and written with no relay). A
// reader thread takes the stream's bytes, except on a raw line, which the
// waiting task reads itself; the end of the stream is a detached line (reads
// wait, output is discarded). fd stays the caller's.
void consoleInitStream(int fd, const ConsoleOptions& opts);
// Before the board processes are started: the output a pseudo-terminal's
// board keeps while no terminal is attached survives the board's restarts.
void consoleBacklogShare();
// Unit tests: the far end is a scripted peer; the clock must be virtual.
void consoleInitScripted(ScriptedPeer* peer);
// Ends the console: waits in progress give up with -1; afterwards output is
// discarded and reads fail. Both inits replace any console there was.
void consoleShutdown();

// ---- Supervisor side ----------------------------------------------------------------

enum class AttachKind { Stdio, Pty, Tcp, Telnet };
struct AttachConfig {
    AttachKind kind = AttachKind::Stdio;
    int tcpPort = 0;
    bool noWait = false; // pty, tcp, telnet: power on at once, not at the first attach
};

// Runs in tarnboot's own process: sets up the attachment, then runs the board
// in a child process (runBoard(fd, escapeEnabled) returns the child's BoardExit
// code), restarting it after a reset or power cycle unless exitOnReset is set.
// With pty, tcp and telnet the board powers on when the first peer attaches
// (unless noWait). Relays bytes between the attachment and the child, keeping
// the board's output while no peer is attached (the last 64 KiB) for the next
// one; a pseudo-terminal's master is handed to the child instead (runBoard's fd),
// which then keeps that output itself. Signals, to this process or to the board's: SIGUSR1 presses reset,
// SIGUSR2 cycles power (before the first power-on both are ignored); SIGTERM
// goes to the board (its handler, or the end of the run with status 143);
// SIGINT/SIGHUP/SIGQUIT end the run (terminal restored).
// Pty, tcp and telnet print where the console is on the host's standard error
// ("tarnboot: console on /dev/pts/N", "tarnboot: console on tcp 127.0.0.1:PORT",
// "... on telnet 127.0.0.1:PORT"). Returns tarnboot's exit status
// (ProcessStatus), or 128 + the signal number when a signal ended it.
int superviseBoard(const AttachConfig& cfg, bool exitOnReset,
                   const std::function<int(int fd, bool escapeEnabled)>& runBoard);

} // namespace host
