// bus.h - the physical bus: devices mapped at physical address ranges.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace host {

// A memory-mapped device. Offsets are from the start of its window; width is
// 1, 2 or 4 bytes; values are as the big-endian core sees them. A handler
// returns false for an offset the device does not decode (a bus error).
class BusDevice {
public:
    virtual ~BusDevice() = default;
    virtual bool read(uint32_t offset, int width, uint32_t& value) = 0;
    virtual bool write(uint32_t offset, int width, uint32_t value) = 0;
};

class PhysicalBus {
public:
    // Maps dev at [base, base + size). Windows must not overlap.
    void map(uint32_t base, uint64_t size, BusDevice* dev, std::string name);
    void unmapAll() { windows_.clear(); }
    // false: no device at that address, or the device refused the access.
    bool read(uint32_t addr, int width, uint32_t& value);
    bool write(uint32_t addr, int width, uint32_t value);

private:
    struct Window {
        uint32_t base;
        uint64_t size;
        BusDevice* dev;
        std::string name;
    };
    const Window* find(uint32_t addr, int width) const;
    std::vector<Window> windows_;
};

} // namespace host
