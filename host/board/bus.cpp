// bus.cpp - physical address decoding onto the mapped devices.
#include "host/board/bus.h"

#include <stdexcept>

namespace host {

void PhysicalBus::map(uint32_t base, uint64_t size, BusDevice* dev, std::string name)
{
    for (const auto& w : windows_) {
        if (base < w.base + w.size && w.base < base + size)
            throw std::logic_error("bus window " + name + " overlaps " + w.name);
    }
    windows_.push_back(Window{base, size, dev, std::move(name)});
}

const PhysicalBus::Window* PhysicalBus::find(uint32_t addr, int width) const
{
    if (width != 1 && width != 2 && width != 4) return nullptr;
    if (addr % uint32_t(width) != 0) return nullptr; // misaligned: no device answers
    for (const auto& w : windows_) {
        if (addr >= w.base && uint64_t(addr) + uint64_t(width) <= w.base + w.size) return &w;
    }
    return nullptr;
}

bool PhysicalBus::read(uint32_t addr, int width, uint32_t& value)
{
    const Window* w = find(addr, width);
    return w && w->dev->read(addr - w->base, width, value);
}

bool PhysicalBus::write(uint32_t addr, int width, uint32_t value)
{
    const Window* w = find(addr, width);
    return w && w->dev->write(addr - w->base, width, value);
}

} // namespace host
