// dram.h - the board's 256 MiB of DRAM at physical address 0, allocated lazily.
//
// Fault injection: one bit of one 32-bit word can be held stuck at 0 or 1, as a
// failing DRAM cell would be. Bus reads see the stuck value and bus writes store
// it; the bulk view (a pointer into DRAM) is the cell array itself.
#pragma once

#include "host/board/bus.h"

#include <cstddef>
#include <cstdint>

namespace host {

class Dram : public BusDevice {
public:
    static constexpr uint32_t kSize = 256u << 20;

    Dram();
    ~Dram() override;
    Dram(const Dram&) = delete;
    Dram& operator=(const Dram&) = delete;

    bool read(uint32_t offset, int width, uint32_t& value) override;
    bool write(uint32_t offset, int width, uint32_t value) override;

    // Bounds-checked bulk view: nullptr unless [addr, addr + len) is DRAM.
    uint8_t* view(uint32_t addr, uint32_t len);
    uint8_t* base() { return mem_; }
    bool contains(const void* p) const;
    // Power-on: the contents are lost (pages released, reading zero again).
    // A stuck bit is part of the hardware and survives it.
    void powerOn();

    // Holds bit (0 = least significant) of the big-endian word at wordAddr
    // (a multiple of 4) at value. Returns false for an address outside DRAM or
    // a bit above 31.
    bool setStuckBit(uint32_t wordAddr, int bit, bool value);
    void clearStuckBit() { stuck_ = false; }

private:
    void applyStuck(uint32_t offset, uint8_t* bytes, int width) const;

    uint8_t* mem_ = nullptr;
    bool stuck_ = false;
    uint32_t stuckByte_ = 0; // address of the byte holding the stuck bit
    uint8_t stuckMask_ = 0;
    bool stuckOne_ = false;
};

} // namespace host
