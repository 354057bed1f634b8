// dram.cpp - DRAM backed by an anonymous mapping the host fills in on first touch.
#include "host/board/dram.h"

#include <stdexcept>
#include <sys/mman.h>

namespace host {

Dram::Dram()
{
    void* p = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("cannot map the board's DRAM");
    mem_ = static_cast<uint8_t*>(p);
}

Dram::~Dram() { munmap(mem_, kSize); }

void Dram::powerOn() { madvise(mem_, kSize, MADV_DONTNEED); }

bool Dram::setStuckBit(uint32_t wordAddr, int bit, bool value)
{
    if (wordAddr % 4 != 0 || wordAddr > kSize - 4 || bit < 0 || bit > 31) return false;
    stuck_ = true;
    stuckByte_ = wordAddr + 3 - uint32_t(bit / 8); // big-endian: bit 0 is in the last byte
    stuckMask_ = uint8_t(1u << (bit % 8));
    stuckOne_ = value;
    return true;
}

void Dram::applyStuck(uint32_t offset, uint8_t* bytes, int width) const
{
    if (!stuck_ || stuckByte_ < offset || stuckByte_ - offset >= uint32_t(width)) return;
    uint8_t& b = bytes[stuckByte_ - offset];
    b = stuckOne_ ? uint8_t(b | stuckMask_) : uint8_t(b & ~stuckMask_);
}

// Bus accesses may touch any DRAM cell, including pool memory no block owns
// (which sanitizer builds keep poisoned against the system's own pointers).
__attribute__((no_sanitize("address"))) bool Dram::read(uint32_t offset, int width, uint32_t& value)
{
    uint8_t bytes[4];
    for (int i = 0; i < width; ++i) bytes[i] = mem_[offset + uint32_t(i)];
    applyStuck(offset, bytes, width);
    value = 0;
    for (int i = 0; i < width; ++i) value = (value << 8) | bytes[i];
    return true;
}

__attribute__((no_sanitize("address"))) bool Dram::write(uint32_t offset, int width, uint32_t value)
{
    uint8_t bytes[4];
    for (int i = width - 1; i >= 0; --i) {
        bytes[i] = uint8_t(value);
        value >>= 8;
    }
    applyStuck(offset, bytes, width);
    for (int i = 0; i < width; ++i) mem_[offset + uint32_t(i)] = bytes[i];
    return true;
}

uint8_t* Dram::view(uint32_t addr, uint32_t len)
{
    if (addr >= kSize || len > kSize - addr) return nullptr;
    return mem_ + addr;
}

bool Dram::contains(const void* p) const
{
    auto b = reinterpret_cast<uintptr_t>(mem_);
    auto q = reinterpret_cast<uintptr_t>(p);
    return q >= b && q < b + kSize;
}

} // namespace host
