// cpmI2c.cpp - the CPM I2C channel model.
#include "host/board/cpmI2c.h"

namespace host {

void CpmI2c::powerOn()
{
    if (inTransfer_) i2c_.release();
    inTransfer_ = false;
    std::fill(dpram_.begin(), dpram_.end(), 0);
    plain_.clear();
    cpcr_ = 0;
    cmd_.clear();
    xfer_.clear();
    resetI2c();
}

uint64_t CpmI2c::byteNs() const
{
    if (i2brg_ < ((i2mod_ & kModFlt) ? 6 : 3)) return 0; // the clock generator does not run
    static constexpr uint64_t kPrescale[4] = {32, 16, 8, 4};
    uint64_t brgClkHz = platformHz_ / 16;
    uint64_t sclDivider = kPrescale[(i2mod_ >> 1) & 3] * 2 * (uint64_t(i2brg_) + 3);
    return 9 * sclDivider * 1000000000ull / brgClkHz;
}

void CpmI2c::catchUp()
{
    if (cmd_.due()) {
        cmd_.clear();
        completeCommand();
    }
    if (xfer_.due()) {
        xfer_.clear();
        transmit();
    }
}

void CpmI2c::resetI2c()
{
    i2mod_ = i2add_ = i2brg_ = i2com_ = i2cer_ = i2cmr_ = 0;
}

uint32_t CpmI2c::dp(uint32_t off, int width) const
{
    uint32_t v = 0;
    for (int i = 0; i < width; ++i) v = v << 8 | (off + i < kDpramSize ? dpram_[off + i] : 0);
    return v;
}

void CpmI2c::setDp(uint32_t off, int width, uint32_t v)
{
    for (int i = 0; i < width; ++i) {
        if (off + i < kDpramSize) dpram_[off + i] = uint8_t(v >> (8 * (width - 1 - i)));
    }
}

bool CpmI2c::read(uint32_t offset, int width, uint32_t& value)
{
    if ((offset & ~3u) == kCpcr && cmd_.busy())
        modelPoll();
    else
        modelRegisterAccess();
    catchUp();
    if (offset + width <= kDpramSize) {
        value = dp(offset, width);
        return true;
    }
    uint32_t word = offset & ~3u;
    uint32_t w;
    if (word >= kI2mod && word <= kI2cmr) {
        uint8_t r = word == kI2mod ? i2mod_ : word == kI2add ? i2add_ : word == kI2brg ? i2brg_
                  : word == kI2com ? i2com_ : word == kI2cer ? i2cer_ : i2cmr_;
        w = uint32_t(r) << 24;
    } else if (word == kCpcr) {
        w = cpcr_;
    } else {
        auto it = plain_.find(word);
        w = it == plain_.end() ? 0 : it->second;
    }
    int shift = 8 * (4 - width - int(offset & 3u));
    value = width == 4 ? w : (w >> shift) & ((1u << (8 * width)) - 1);
    return true;
}

bool CpmI2c::write(uint32_t offset, int width, uint32_t value)
{
    modelRegisterAccess();
    catchUp();
    if (offset + width <= kDpramSize) {
        setDp(offset, width, value);
        return true;
    }
    uint32_t word = offset & ~3u;
    if (word >= kI2mod && word <= kI2cmr) {
        if ((offset & 3u) != 0) return true;
        uint8_t v = uint8_t(width == 4 ? value >> 24 : width == 2 ? value >> 8 : value);
        switch (word) {
        case kI2mod:
            i2mod_ = v;
            if (!(v & kModEn) && xfer_.running()) { // abandoned before a byte went out
                xfer_.clear();
                i2c_.release();
                inTransfer_ = false;
            }
            break;
        case kI2add: i2add_ = v & 0xFE; break;
        case kI2brg: i2brg_ = v; break;
        case kI2cer: i2cer_ &= uint8_t(~v); break; // events clear by writing 1
        case kI2cmr: i2cmr_ = v; break;
        case kI2com:
            i2com_ = v & kComMaster;
            if ((v & kComStr) && (v & kComMaster) && (i2mod_ & kModEn)) startTransfer();
            break;
        default: break;
        }
        return true;
    }
    if (word == kCpcr && width == 4) {
        command(value);
        return true;
    }
    uint32_t& w = plain_[word];
    if (width == 4) {
        w = value;
    } else {
        int shift = 8 * (4 - width - int(offset & 3u));
        uint32_t mask = ((1u << (8 * width)) - 1) << shift;
        w = (w & ~mask) | ((value << shift) & mask);
    }
    return true;
}

void CpmI2c::command(uint32_t v)
{
    if (cmd_.running()) return; // the CP takes no command while busy
    cpcr_ = v;
    if (v & (kCpcrRst | kCpcrFlg)) cmd_.start((v & kCpcrRst) ? kCpResetNs : kCpCommandNs);
}

void CpmI2c::completeCommand()
{
    uint32_t v = cpcr_;
    if (v & kCpcrRst) {
        if (inTransfer_) i2c_.release();
        inTransfer_ = false;
        xfer_.clear();
        resetI2c();
    } else if (v & kCpcrFlg) {
        uint32_t page = (v >> 26) & 0x1F, sbc = (v >> 21) & 0x1F, op = v & 0x0F;
        if (page == kI2cPage && sbc == kI2cSbc && op <= 2) {
            uint32_t pr = dp(kI2cBasePtr, 2);
            if (op != 2) { // receive parameters
                setDp(pr + kRbptr, 2, dp(pr + kRbase, 2));
                setDp(pr + 0x08, 4, 0);  // RSTATE
                setDp(pr + 0x0C, 4, 0);  // RPTR
                setDp(pr + 0x12, 2, 0);  // RCOUNT
            }
            if (op != 1) { // transmit parameters
                setDp(pr + kTbptr, 2, dp(pr + kTbase, 2));
                setDp(pr + 0x18, 4, 0);  // TSTATE
                setDp(pr + 0x1C, 4, 0);  // TPTR
                setDp(pr + 0x22, 2, 0);  // TCOUNT
            }
        }
    }
    cpcr_ = v & ~(kCpcrRst | kCpcrFlg);
}

bool CpmI2c::pinsRouted() const
{
    auto reg = [this](uint32_t off) {
        auto it = plain_.find(off);
        return (it == plain_.end() ? 0 : it->second) & kPdI2cPins;
    };
    return reg(kPdir) == 0 && reg(kPpar) == kPdI2cPins && reg(kPsor) == kPdI2cPins && reg(kPodr) == kPdI2cPins;
}

void CpmI2c::startTransfer()
{
    uint64_t byteNs = this->byteNs();
    if (xfer_.running() || !pinsRouted() || byteNs == 0) return; // nothing moves on the wires
    uint32_t pr = dp(kI2cBasePtr, 2);
    uint32_t tbptr = dp(pr + kTbptr, 2), bytes = 0;
    for (int guard = 0; guard < 256 && tbptr + 8u <= kDpramSize; ++guard) {
        uint16_t sc = uint16_t(dp(tbptr, 2));
        if (!(sc & kBdReady)) break;
        bytes += dp(tbptr + 2, 2);
        if (sc & kBdLast) break;
        tbptr = (sc & kBdWrap) ? dp(pr + kTbase, 2) : tbptr + 8u;
    }
    if (bytes == 0 || !i2c_.acquire(this)) return;
    inTransfer_ = true;
    xfer_.start(bytes * byteNs);
}

bool CpmI2c::receiveByte(uint8_t b, uint16_t& rbptr, uint32_t& rcount, bool& rxOpen)
{
    uint32_t pr = dp(kI2cBasePtr, 2);
    uint16_t sc = uint16_t(dp(rbptr, 2));
    if (!rxOpen) {
        if (!(sc & kBdReady)) { // receive descriptor not empty: busy, byte lost
            i2cer_ |= kEvBsy;
            return false;
        }
        rxOpen = true;
        rcount = 0;
    }
    uint32_t mrblr = dp(pr + kMrblr, 2);
    if (rcount >= mrblr) {
        closeReceive(rbptr, rcount);
        rxOpen = false;
        return receiveByte(b, rbptr, rcount, rxOpen);
    }
    uint32_t buf = dp(rbptr + 4, 4);
    if (!phys_.write(buf + rcount, 1, b)) return false; // no memory there: byte lost
    ++rcount;
    return true;
}

void CpmI2c::closeReceive(uint16_t& rbptr, uint32_t rcount)
{
    uint32_t pr = dp(kI2cBasePtr, 2);
    uint16_t sc = uint16_t(dp(rbptr, 2));
    setDp(rbptr, 2, sc & ~kBdReady);
    setDp(rbptr + 2, 2, rcount);
    if (sc & kBdInt) i2cer_ |= kEvRxb;
    rbptr = uint16_t((sc & kBdWrap) ? dp(pr + kRbase, 2) : rbptr + 8u);
}

void CpmI2c::transmit()
{
    uint32_t pr = dp(kI2cBasePtr, 2);
    uint16_t tbptr = uint16_t(dp(pr + kTbptr, 2));
    uint16_t rbptr = uint16_t(dp(pr + kRbptr, 2));
    bool reading = false, rxOpen = false;
    uint32_t rcount = 0;
    for (int guard = 0; guard < 256; ++guard) {
        if (tbptr + 8u > kDpramSize || rbptr + 8u > kDpramSize) break;
        uint16_t sc = uint16_t(dp(tbptr, 2));
        if (!(sc & kBdReady)) break;
        uint32_t len = dp(tbptr + 2, 2), buf = dp(tbptr + 4, 4);
        if (!inTransfer_ && !i2c_.acquire(this)) break; // waits for the bus
        inTransfer_ = true;
        bool nak = false;
        for (uint32_t i = 0; i < len && !nak; ++i) {
            uint32_t b = 0xFF;
            phys_.read(buf + i, 1, b);
            if (i == 0 && (sc & kBdStart)) {
                nak = !i2c_.address(uint8_t(b));
                reading = b & 1;
            } else if (reading) {
                bool last = (sc & kBdLast) && i + 1 == len;
                receiveByte(i2c_.read(!last), rbptr, rcount, rxOpen);
            } else {
                nak = !i2c_.write(uint8_t(b));
            }
        }
        if (rxOpen && ((sc & kBdLast) || nak)) {
            closeReceive(rbptr, rcount);
            rxOpen = false;
        }
        uint16_t done = uint16_t(sc & ~kBdReady);
        if (nak) {
            done |= kBdNak;
            i2cer_ |= kEvTxe;
        } else if (sc & kBdInt) {
            i2cer_ |= kEvTxb;
        }
        setDp(tbptr, 2, done);
        tbptr = uint16_t((sc & kBdWrap) ? dp(pr + kTbase, 2) : tbptr + 8u);
        if (nak || (sc & kBdLast)) {
            i2c_.release();
            inTransfer_ = false;
            reading = false;
            if (nak) break;
        }
    }
    setDp(pr + kTbptr, 2, tbptr);
    setDp(pr + kRbptr, 2, rbptr);
    i2com_ &= uint8_t(~kComStr);
}

} // namespace host
