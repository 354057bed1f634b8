// console/tty.cpp - the console line discipline (see console/tty.h).
#include "host/os/console/tty.h"

#include <algorithm>

namespace host {

void LineDiscipline::setOptions(int opts)
{
    // A line being edited is handed over as it stands when line mode ends.
    if ((options_ & kOptLine) && !(opts & kOptLine)) commitPartial();
    if (!(opts & kOptTandem)) xoff_ = false;
    options_ = opts;
}

bool LineDiscipline::flowControl(uint8_t c)
{
    if (options_ & kOpt7Bit) c &= 0x7F;
    if (!(options_ & kOptTandem) || (c != kXon && c != kXoff)) return false;
    xoff_ = c == kXoff;
    return true;
}

bool LineDiscipline::rebootChar(uint8_t c) const
{
    if (options_ & kOpt7Bit) c &= 0x7F;
    return (options_ & kOptMonTrap) && c == kReboot;
}

void LineDiscipline::receive(uint8_t c, Effects& fx)
{
    if (options_ & kOpt7Bit) c &= 0x7F;
    if ((options_ & kOptCrmod) && c == '\r') c = '\n';

    if (!(options_ & kOptLine)) {
        appendRaw(c);
        echo(fx, c);
        return;
    }
    switch (c) {
    case kBackspace:
    case kDelete:
        if (partial_ > 0) {
            data_.pop_back();
            --partial_;
            erase(fx, 1);
        }
        return;
    case kLineKill: {
        size_t n = partial_;
        data_.resize(data_.size() - n);
        partial_ = 0;
        erase(fx, n);
        return;
    }
    case kEof:
        if (partial_ == 0) {
            chunks_.push_back({0, true, false});
            ++eofMarks_;
        } else {
            commitPartial();
        }
        return;
    default:
        data_.push_back(c);
        ++partial_;
        echo(fx, c);
        // A line that fills the buffer is handed over as it stands; the rest
        // of it arrives as the next piece.
        if (c == '\n' || used() >= kCapacity) commitPartial();
        return;
    }
}

size_t LineDiscipline::receivePlain(const uint8_t* p, size_t n)
{
    n = std::min(n, kCapacity - std::min(kCapacity, used()));
    if (n == 0) return 0;
    data_.insert(data_.end(), p, p + n);
    if (!chunks_.empty() && chunks_.back().open)
        chunks_.back().len += n;
    else
        chunks_.push_back({n, false, true});
    return n;
}

size_t LineDiscipline::read(uint8_t* buf, size_t n, bool stopAtNewline)
{
    if (chunks_.empty()) return 0;
    if (chunks_.front().eof) {
        chunks_.pop_front();
        --eofMarks_;
        return 0;
    }
    size_t got = 0;
    while (got < n && !chunks_.empty() && !chunks_.front().eof) {
        Chunk& ch = chunks_.front();
        bool newline = false;
        if (!stopAtNewline) { // a run at a time
            const size_t k = std::min(n - got, ch.len);
            std::copy_n(data_.begin(), k, buf + got);
            data_.erase(data_.begin(), data_.begin() + ptrdiff_t(k));
            ch.len -= k;
            got += k;
        }
        while (got < n && ch.len > 0) {
            uint8_t b = data_.front();
            data_.pop_front();
            --ch.len;
            buf[got++] = b;
            if (stopAtNewline && b == '\n') {
                newline = true;
                break;
            }
        }
        if (ch.len == 0) chunks_.pop_front();
        if (newline || (options_ & kOptLine)) break;
    }
    return got;
}

void LineDiscipline::discardInput()
{
    data_.clear();
    chunks_.clear();
    partial_ = 0;
    eofMarks_ = 0;
}

void LineDiscipline::mapOutput(const uint8_t* p, size_t n, std::string& out) const
{
    bool crmod = options_ & kOptCrmod;
    for (size_t i = 0; i < n; ++i) {
        if (crmod && p[i] == '\n') out += '\r';
        out += char(p[i]);
    }
}

void LineDiscipline::commitPartial()
{
    if (partial_ == 0) return;
    chunks_.push_back({partial_, false, false});
    partial_ = 0;
}

void LineDiscipline::appendRaw(uint8_t c)
{
    data_.push_back(c);
    if (!chunks_.empty() && chunks_.back().open)
        ++chunks_.back().len;
    else
        chunks_.push_back({1, false, true});
}

void LineDiscipline::echo(Effects& fx, uint8_t c) const
{
    if (options_ & kOptEcho) mapOutput(&c, 1, fx.echo);
}

void LineDiscipline::erase(Effects& fx, size_t count)
{
    if (!(options_ & kOptEcho)) return;
    for (size_t i = 0; i < count; ++i) fx.echo += "\b \b";
}

} // namespace host
