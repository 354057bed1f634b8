// dram.h - the board's 256 MiB of DRAM at physical address 0, allocated lazily.
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
    void powerOn();

private:
    uint8_t* mem_ = nullptr;
};

} // namespace host
