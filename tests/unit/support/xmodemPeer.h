// xmodemPeer.h - XMODEM frames made from the protocol's definition (a bit-by-bit
// CRC-16, independent of the engine's table) and a scripted sender answering
// the board's requests, for the transfer tests, the power-cut sweeps and the
// received-stream fuzz target.
#pragma once

#include "host/os/console/console.h"
#include "osapi.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace xpeer {

constexpr char SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;
inline const std::string sEOT(1, EOT), sACK(1, ACK), sNAK(1, NAK);

// CRC-16/XMODEM bit by bit, independent of the engine's table.
inline uint16_t crcBits(const std::string& d)
{
    uint16_t crc = 0;
    for (unsigned char c : d) {
        crc ^= uint16_t(c << 8);
        for (int i = 0; i < 8; ++i) crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

inline std::string padded(std::string data) { return data.resize(data.size() <= 128 ? 128 : 1024, '\x1A'), data; }

inline std::string frame(int number, std::string data, bool crc = true)
{
    data = padded(data);
    std::string f{data.size() == 128 ? SOH : STX, char(number & 0xFF), char(255 - (number & 0xFF))};
    unsigned sum = 0;
    for (unsigned char c : data) sum += c;
    uint16_t c = crcBits(data);
    return f + data + (crc ? std::string{char(c >> 8), char(c & 0xFF)} : std::string(1, char(sum & 0xFF)));
}

inline std::string ymodemHeader(const std::string& name, const std::string& numbers)
{
    std::string d = name + '\0' + numbers;
    return frame(0, d + std::string(128 - d.size(), '\0'));
}

// A sender: it starts on the first 'C' (CRC) or NAK (checksum) at or after startTick (a checksum-only one
// ignores 'C'), answers ACK with its next send, NAK or 'C' with the same again; then EOT until answered.
// Its sends are the pieces framed in its mode, or the raw sends. With retryTicks it also sends again
// after that long without an answer, as sx does; two CANs in a row in what the board writes stop it
// for good, as they stop sx, except in the first `deaf` writes holding CANs (a cancel it missed).
struct Sender {
    std::vector<std::string> pieces, raw;
    bool nakOnly = false, crc = true, started = false, cancelled = false;
    uint32_t startTick = 0, retryTicks = 0, lastTick = 0;
    size_t next = 0, sent = 0, acks = 0, cans = 0, deaf = 0;
    std::string replies, last; // the board's protocol bytes, in order; the last send
    std::function<std::string(size_t send, size_t attempt, std::string)> mangle;
    std::function<bool(size_t ack)> loseAck; // an ACK the sender never hears
    std::function<void(size_t)> onAck;

    size_t count() const { return pieces.empty() ? raw.size() : pieces.size(); }
    bool done() const { return cancelled || next > count(); }
    void send(host::ScriptedPeer& peer, const std::string& s) { peer.type(last = s), lastTick = vx::tickGet(); }
    void attach(host::ScriptedPeer& p)
    {
        p.onIdle = [this, retry = retryTicks != 0](host::ScriptedPeer& peer) {
            if (!retry || !started || done()) return false;
            if (vx::tickGet() - lastTick >= retryTicks) send(peer, last);
            return true; // time passes a tick at a time until then
        };
        p.onOutput = [this](host::ScriptedPeer& peer, const std::string& out) {
            if (deaf && out.find(CAN) != std::string::npos) return void(--deaf);
            for (char c : out) cans = c == CAN ? cans + 1 : 0, cancelled = cancelled || cans >= 2;
            if (out.size() != 1 || cancelled) return;
            const char c = out[0];
            replies += c;
            if (!started) {
                if (!((c == 'C' && !nakOnly) || c == NAK) || vx::tickGet() < startTick) return;
                started = true;
                crc = c == 'C';
            } else if (c == ACK) {
                if (loseAck && loseAck(acks++)) return;
                if (onAck) onAck(next);
                ++next;
            } else if (c != NAK && c != 'C') {
                return;
            }
            if (next > count()) return; // its EOT was answered
            std::string s = next >= count() ? sEOT : pieces.empty() ? raw[next] : frame(int(next) + 1, pieces[next], crc);
            send(peer, mangle ? mangle(next, sent++, s) : s);
        };
    }
};

} // namespace xpeer
