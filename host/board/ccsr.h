// ccsr.h - the processor's configuration register block at 0xF0000000.
//
// Device models attach register windows inside the block (the smallest window
// containing an address decodes it); offsets no model claims behave as plain
// registers that read back what was written, reset value 0. The block itself
// holds the reset register and the PLL status register.
#pragma once

#include "host/board/bus.h"

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace host {

class Ccsr : public BusDevice {
public:
    static constexpr uint32_t kBase = 0xF0000000u;
    static constexpr uint32_t kSize = 0x00100000u;
    static constexpr uint32_t kResetReg = 0x00090D10u;  // write: hard reset
    static constexpr uint32_t kPorPllSr = 0x000E0000u;  // PLL status (ratios)
    static constexpr uint32_t kPlatRatio = 5;            // platform : input clock
    static constexpr uint32_t kCoreRatioField = 5;       // e500 : platform = 5:2
    // The PLL status as the board's configuration pins set it at power-on.
    static constexpr uint32_t kPorPllSrStraps = (kCoreRatioField << 16) | (kPlatRatio << 1);

    explicit Ccsr(std::function<void()> onReset) : onReset_(std::move(onReset)) {}

    void attach(uint32_t offset, uint32_t size, BusDevice* dev);
    void powerOn();
    // Tests: other configuration pin settings (back to the board's at power-on).
    void setPorPllSr(uint32_t value) { porPllSr_ = value; }

    bool read(uint32_t offset, int width, uint32_t& value) override;
    bool write(uint32_t offset, int width, uint32_t value) override;

private:
    struct Sub {
        uint32_t offset, size;
        BusDevice* dev;
    };
    const Sub* find(uint32_t offset) const;
    std::function<void()> onReset_;
    std::vector<Sub> subs_;
    std::map<uint32_t, uint32_t> plain_; // word offset -> value
    uint32_t porPllSr_ = kPorPllSrStraps;
};

} // namespace host
