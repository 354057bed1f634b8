// console/telnet.h - enough of the telnet protocol for a console on a TCP
// port, as terminal servers offer it: the server echoes and suppresses
// go-ahead, and each direction is binary when the client agrees. Option
// negotiation is consumed, IAC is doubled in data, and while the client's
// side is not binary its Enter (CR NUL or CR LF) arrives as one CR.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

class TelnetCodec {
public:
    static constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                             kSe = 240;
    static constexpr uint8_t kBinary = 0, kEcho = 1, kSga = 3;

    // What the server says to a new client: the options it offers and asks for.
    std::string greeting();
    // Bytes from the client: data for the board to `data`, answers owed to `reply`.
    void decode(const uint8_t* p, size_t n, std::string& data, std::string& reply);
    // The board's output as the client gets it.
    void encode(const uint8_t* p, size_t n, std::string& wire);
    bool binaryIn() const { return him_[kBinary] == On; }
    bool binaryOut() const { return us_[kBinary] == On; }

private:
    enum Opt : uint8_t { Off, Asked, On };
    enum class State { Data, Cr, Iac, Verb, Sb, SbIac };
    static bool offered(uint8_t opt) { return opt == kBinary || opt == kEcho || opt == kSga; }
    static bool accepted(uint8_t opt) { return opt == kBinary || opt == kSga; }
    void negotiate(uint8_t verb, uint8_t opt, std::string& reply);
    void data(uint8_t b, std::string& out);

    State state_ = State::Data;
    uint8_t verb_ = 0;
    bool crSent_ = false; // the last byte sent was a CR (a NUL follows unless LF does)
    Opt us_[256]{};       // options on the server's side
    Opt him_[256]{};      // options on the client's side
};

} // namespace host
