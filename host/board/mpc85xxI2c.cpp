// mpc85xxI2c.cpp - the main I2C controller model.
#include "host/board/mpc85xxI2c.h"

namespace host {

void Mpc85xxI2c::powerOn()
{
    if (s_.master) bus_.release();
    s_ = State{};
    byte_.clear();
}

uint64_t Mpc85xxI2c::byteNs() const { return 9ull * kDivider[s_.fdr & 0x3F] * 1000000000ull / sourceHz_; }

uint8_t Mpc85xxI2c::peek(uint32_t reg) const
{
    switch (reg) {
    case kAdr: return s_.adr;
    case kFdr: return s_.fdr;
    case kCr: return s_.cr;
    case kDr: return s_.dr;
    case kDfsrr: return s_.dfsrr;
    case kSr:
        return uint8_t((s_.mcf ? kMcf : 0) | (bus_.busy() ? kMbb : 0) | (s_.mal ? kMal : 0) | (s_.mif ? kMif : 0) |
                       (s_.rxak ? kRxak : 0));
    default: return 0;
    }
}

bool Mpc85xxI2c::read(uint32_t offset, int width, uint32_t& value)
{
    uint32_t reg = offset & ~3u;
    if (reg > kDfsrr) return false;
    if (reg == kSr && byte_.busy())
        modelPoll();
    else
        modelRegisterAccess();
    catchUp();
    // The register is the word's first byte; the other bytes read 0.
    uint32_t byteInWord = offset & 3u;
    uint8_t v = byteInWord == 0 ? regRead(reg) : 0;
    value = width == 4 ? uint32_t(v) << 24 : width == 2 ? uint32_t(v) << 8 : v;
    return true;
}

bool Mpc85xxI2c::write(uint32_t offset, int width, uint32_t value)
{
    uint32_t reg = offset & ~3u;
    if (reg > kDfsrr) return false;
    modelRegisterAccess();
    catchUp();
    if ((offset & 3u) != 0) return true; // reserved bytes
    uint8_t v = uint8_t(width == 4 ? value >> 24 : width == 2 ? value >> 8 : value);
    regWrite(reg, v);
    return true;
}

// A byte whose time is over reaches the wires: the device sees it now, with
// the acknowledge the controller gives (TXAK) as it ends.
void Mpc85xxI2c::catchUp()
{
    if (!byte_.due()) return;
    byte_.clear();
    bool acked = true;
    switch (s_.pending) {
    case Pending::Address: acked = bus_.address(s_.out); break;
    case Pending::Send: acked = bus_.write(s_.out); break;
    case Pending::Receive: s_.dr = bus_.read(!(s_.cr & kTxak)); break;
    case Pending::None: return;
    }
    s_.pending = Pending::None;
    s_.mcf = true;
    s_.mif = true;
    s_.rxak = !acked;
}

void Mpc85xxI2c::startByte(Pending kind, uint8_t out)
{
    s_.pending = kind;
    s_.out = out;
    s_.mcf = false;
    byte_.start(byteNs());
}

uint8_t Mpc85xxI2c::regRead(uint32_t reg)
{
    if (reg != kDr) return peek(reg);
    uint8_t v = s_.dr;
    // Master receive: reading the data register clocks in the next byte.
    if (s_.master && !(s_.cr & kMtx) && !s_.addressNext && !byte_.running() && bus_.ownedBy(this))
        startByte(Pending::Receive, 0);
    return v;
}

void Mpc85xxI2c::regWrite(uint32_t reg, uint8_t v)
{
    switch (reg) {
    case kAdr: s_.adr = v & 0xFE; break;
    case kFdr: s_.fdr = v & 0x3F; break;
    case kDfsrr: s_.dfsrr = v & 0x3F; break;
    case kCr: controlWrite(v); break;
    case kSr:
        // MAL and MIF are cleared by writing 0; the other bits are read-only.
        if (!(v & kMal)) s_.mal = false;
        if (!(v & kMif)) s_.mif = false;
        break;
    case kDr:
        if (byte_.running()) break; // a byte is moving: this one is lost
        s_.dr = v;
        if (s_.master && (s_.cr & kMtx) && bus_.ownedBy(this)) {
            startByte(s_.addressNext ? Pending::Address : Pending::Send, v);
            s_.addressNext = false;
        }
        break;
    default: break;
    }
}

void Mpc85xxI2c::stop()
{
    byte_.clear();
    s_.pending = Pending::None;
    if (s_.master) bus_.release();
    s_.master = false;
    s_.addressNext = false;
}

void Mpc85xxI2c::controlWrite(uint8_t v)
{
    uint8_t old = s_.cr;
    s_.cr = uint8_t(v & ~kRsta); // RSTA reads as 0
    if (!(v & kMen)) {
        // Disabling the module ends any transfer and resets its status.
        stop();
        s_.mcf = true;
        s_.mal = s_.mif = false;
        s_.rxak = true;
        return;
    }
    if ((v & kMsta) && !(old & kMsta)) {
        if (!bus_.acquire(this)) {
            loseArbitration();
            return;
        }
        s_.master = true;
        s_.addressNext = true;
    } else if (!(v & kMsta) && (old & kMsta)) {
        if (byte_.running()) s_.mcf = true; // the byte is cut off
        stop();
    }
    if (v & kRsta) {
        if (s_.master && (v & kMsta))
            s_.addressNext = true;
        else
            loseArbitration();
    }
}

void Mpc85xxI2c::loseArbitration()
{
    s_.mal = true;
    s_.mif = true;
    s_.cr &= uint8_t(~kMsta);
    stop();
}

} // namespace host
