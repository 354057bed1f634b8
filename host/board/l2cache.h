// l2cache.h - the L2 cache/SRAM controller's registers (configuration block
// offset 0x20000) of the MPC8541: a 256 KiB array, usable as cache or SRAM.
#pragma once

#include "host/board/bus.h"

#include <cstdint>

namespace host {

class L2Controller : public BusDevice {
public:
    static constexpr uint32_t kCcsrOffset = 0x20000;
    static constexpr uint32_t kWindowSize = 0x1000;
    static constexpr uint32_t kL2Ctl = 0x000;
    static constexpr uint32_t kL2Srbar0 = 0x100;
    static constexpr uint32_t kL2Srbar1 = 0x108;

    static constexpr uint32_t kL2E = 0x80000000u;      // enable
    static constexpr uint32_t kL2I = 0x40000000u;      // flash invalidate, clears when done
    static constexpr uint32_t kL2Siz = 0x30000000u;    // array size, read-only
    static constexpr uint32_t kL2Siz256K = 0x20000000u;
    static constexpr uint32_t kL2CtlWritable = 0xCFFFFFFFu & ~kL2I;

    struct State {
        uint32_t l2ctl = kL2Siz256K; // disabled at reset
        uint32_t srbar0 = 0;
        uint32_t srbar1 = 0;
    };

    void powerOn() { state_ = State{}; }
    const State& state() const { return state_; }

    bool read(uint32_t offset, int width, uint32_t& value) override;
    bool write(uint32_t offset, int width, uint32_t value) override;

private:
    uint32_t* reg(uint32_t offset);
    State state_;
};

} // namespace host
