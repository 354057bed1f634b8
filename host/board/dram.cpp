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

bool Dram::read(uint32_t offset, int width, uint32_t& value)
{
    const uint8_t* p = mem_ + offset;
    value = 0;
    for (int i = 0; i < width; ++i) value = (value << 8) | p[i];
    return true;
}

bool Dram::write(uint32_t offset, int width, uint32_t value)
{
    uint8_t* p = mem_ + offset;
    for (int i = width - 1; i >= 0; --i) {
        p[i] = uint8_t(value);
        value >>= 8;
    }
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
