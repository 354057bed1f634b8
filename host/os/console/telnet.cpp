// console/telnet.cpp - the telnet console's protocol (see console/telnet.h).
#include "host/os/console/telnet.h"

namespace host {

namespace {
void command(std::string& out, uint8_t verb, uint8_t opt)
{
    out += char(TelnetCodec::kIac);
    out += char(verb);
    out += char(opt);
}
} // namespace

std::string TelnetCodec::greeting()
{
    std::string g;
    for (uint8_t opt : {kEcho, kSga, kBinary}) {
        us_[opt] = Asked;
        command(g, kWill, opt);
    }
    for (uint8_t opt : {kSga, kBinary}) {
        him_[opt] = Asked;
        command(g, kDo, opt);
    }
    return g;
}

// Answers follow the rule that keeps negotiation from looping: a request is
// acknowledged only when it changes an option's state, and the answer to a
// request of ours is never answered.
void TelnetCodec::negotiate(uint8_t verb, uint8_t opt, std::string& reply)
{
    switch (verb) {
    case kWill:
        if (!accepted(opt)) {
            command(reply, kDont, opt);
        } else if (him_[opt] != On) {
            if (him_[opt] == Off) command(reply, kDo, opt);
            him_[opt] = On;
        }
        break;
    case kWont:
        if (him_[opt] == On) command(reply, kDont, opt);
        him_[opt] = Off;
        break;
    case kDo:
        if (!offered(opt)) {
            command(reply, kWont, opt);
        } else if (us_[opt] != On) {
            if (us_[opt] == Off) command(reply, kWill, opt);
            us_[opt] = On;
        }
        break;
    case kDont:
        if (us_[opt] == On) command(reply, kWont, opt);
        us_[opt] = Off;
        break;
    }
}

void TelnetCodec::data(uint8_t b, std::string& out)
{
    out += char(b);
    if (b == '\r' && !binaryIn()) state_ = State::Cr;
}

void TelnetCodec::decode(const uint8_t* p, size_t n, std::string& out, std::string& reply)
{
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = p[i];
        switch (state_) {
        case State::Cr:
            state_ = State::Data;
            if (b == 0 || b == '\n') break; // the rest of an Enter
            [[fallthrough]];
        case State::Data:
            if (b == kIac)
                state_ = State::Iac;
            else
                data(b, out);
            break;
        case State::Iac:
            state_ = State::Data;
            if (b == kIac)
                data(b, out);
            else if (b >= kWill && b <= kDont) {
                verb_ = b;
                state_ = State::Verb;
            } else if (b == kSb)
                state_ = State::Sb;
            break; // other commands (NOP, go-ahead, ...) mean nothing here
        case State::Verb:
            negotiate(verb_, b, reply);
            state_ = State::Data;
            break;
        case State::Sb: // subnegotiation: skipped up to IAC SE
            if (b == kIac) state_ = State::SbIac;
            break;
        case State::SbIac:
            state_ = b == kSe ? State::Data : State::Sb;
            break;
        }
    }
}

void TelnetCodec::encode(const uint8_t* p, size_t n, std::string& wire)
{
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = p[i];
        if (crSent_ && b != '\n') wire += '\0';
        crSent_ = b == '\r' && !binaryOut();
        wire += char(b);
        if (b == kIac) wire += char(kIac);
    }
}

} // namespace host
