// ccsr.cpp - register decoding of the configuration block.
#include "host/board/ccsr.h"

namespace host {

void Ccsr::attach(uint32_t offset, uint32_t size, BusDevice* dev) { subs_.push_back(Sub{offset, size, dev}); }

void Ccsr::powerOn()
{
    plain_.clear();
    porPllSr_ = kPorPllSrStraps;
}

const Ccsr::Sub* Ccsr::find(uint32_t offset) const
{
    const Sub* best = nullptr;
    for (const auto& s : subs_) {
        if (offset >= s.offset && offset - s.offset < s.size && (!best || s.size < best->size)) best = &s;
    }
    return best;
}

bool Ccsr::read(uint32_t offset, int width, uint32_t& value)
{
    // The block's own registers come first: the reset register lies inside
    // the window of the CPM.
    bool own = (offset & ~3u) == kPorPllSr || (offset & ~3u) == kResetReg;
    if (const Sub* s = own ? nullptr : find(offset)) return s->dev->read(offset - s->offset, width, value);
    uint32_t word;
    if ((offset & ~3u) == kPorPllSr) {
        word = porPllSr_;
    } else if ((offset & ~3u) == kResetReg) {
        word = 0;
    } else {
        auto it = plain_.find(offset & ~3u);
        word = it == plain_.end() ? 0 : it->second;
    }
    int shift = 8 * (4 - width - int(offset & 3u));
    value = width == 4 ? word : (word >> shift) & ((1u << (8 * width)) - 1);
    return true;
}

bool Ccsr::write(uint32_t offset, int width, uint32_t value)
{
    bool own = (offset & ~3u) == kPorPllSr || (offset & ~3u) == kResetReg;
    if (const Sub* s = own ? nullptr : find(offset)) return s->dev->write(offset - s->offset, width, value);
    if ((offset & ~3u) == kResetReg) {
        onReset_();
        return true;
    }
    if ((offset & ~3u) == kPorPllSr) return true; // read-only
    uint32_t& word = plain_[offset & ~3u];
    if (width == 4) {
        word = value;
    } else {
        int shift = 8 * (4 - width - int(offset & 3u));
        uint32_t mask = ((1u << (8 * width)) - 1) << shift;
        word = (word & ~mask) | ((value << shift) & mask);
    }
    return true;
}

} // namespace host
