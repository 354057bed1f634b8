// console/tty.h - the console's line discipline: what happens to each received
// byte (echo, CR/LF mapping, flow control, 7-bit stripping, the reboot trap,
// line editing) and the 512-byte input buffer the board reads from. No I/O and
// no locking here: the transports (stream, scripted) drive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace host {

class LineDiscipline {
public:
    static constexpr size_t kCapacity = 512;

    // Control characters the discipline acts on.
    static constexpr uint8_t kBackspace = 0x08;
    static constexpr uint8_t kDelete = 0x7F;
    static constexpr uint8_t kLineKill = 0x15; // Ctrl-U
    static constexpr uint8_t kEof = 0x04;      // Ctrl-D
    static constexpr uint8_t kXon = 0x11;      // Ctrl-Q
    static constexpr uint8_t kXoff = 0x13;     // Ctrl-S
    static constexpr uint8_t kReboot = 0x18;   // Ctrl-X

    // What receiving one byte asks of the transport.
    struct Effects {
        std::string echo; // bytes to send back (already output-mapped)
    };

    int options() const { return options_; }
    void setOptions(int opts);

    // Acted on as a byte arrives, before it is buffered, so that they work
    // whatever the buffer holds (as in a serial driver's receive interrupt):
    // X-on/X-off with flow control on (true: the byte is consumed), and the
    // reboot character with the trap on.
    bool flowControl(uint8_t c);
    bool rebootChar(uint8_t c) const;
    // True when a received byte can be taken. A byte that is not taken stays
    // with the stream.
    bool canTake() const { return used() < kCapacity; }
    // Processes one received byte (after flowControl); the caller checked canTake().
    void receive(uint8_t c, Effects& fx);
    // A raw line that neither echoes nor maps nor acts on any byte: received
    // bytes are buffered as they are, many at a time.
    bool plain() const { return !(options_ & (kOptEcho | kOptCrmod | kOptTandem | kOpt7Bit | kOptMonTrap | kOptLine)); }
    // Buffers what fits of n bytes on a plain() line; returns how many.
    size_t receivePlain(const uint8_t* p, size_t n);

    // Readiness for select: any byte has arrived (line mode: even before the
    // line is complete), or an end of input is waiting.
    bool anyInput() const { return !data_.empty() || !chunks_.empty(); }
    // A read would return now (with data or with end of input).
    bool readReady() const { return !chunks_.empty(); }
    // Takes up to n bytes: in line mode at most one line; stopAtNewline ends
    // the read after a '\n' in any mode. Returns 0 for an end of input, which
    // is consumed. Call only when readReady().
    size_t read(uint8_t* buf, size_t n, bool stopAtNewline);
    void discardInput();

    // Output mapping (LF -> CR LF with OPT_CRMOD), appended to out.
    void mapOutput(const uint8_t* p, size_t n, std::string& out) const;
    // X-off received and not yet released by X-on (only with OPT_TANDEM).
    bool outputStopped() const { return xoff_ && (options_ & kOptTandem); }

private:
    static constexpr int kOptEcho = 0x01, kOptCrmod = 0x02, kOptTandem = 0x04, kOpt7Bit = 0x08,
                         kOptMonTrap = 0x10, kOptLine = 0x40;

    // A readable piece of the buffer: a line, a run of raw bytes, or an end of input.
    struct Chunk {
        size_t len;
        bool eof;
        bool open; // raw-mode run that later raw bytes extend
    };

    size_t committed() const { return data_.size() - partial_; }
    size_t used() const { return data_.size() + eofMarks_; }
    void commitPartial();
    void appendRaw(uint8_t c);
    void echo(Effects& fx, uint8_t c) const;
    void erase(Effects& fx, size_t count);

    int options_ = 0x7F;
    bool xoff_ = false;
    std::deque<uint8_t> data_;  // committed bytes, then the line being edited
    std::deque<Chunk> chunks_;  // the committed part, in order
    size_t partial_ = 0;        // bytes of the line being edited (line mode)
    size_t eofMarks_ = 0;       // end-of-input chunks (they take a slot each)
};

} // namespace host
