// l2cache.cpp - the L2 controller's registers; 32-bit accesses only.
#include "host/board/l2cache.h"

namespace host {

uint32_t* L2Controller::reg(uint32_t offset)
{
    switch (offset) {
    case kL2Ctl:
        return &state_.l2ctl;
    case kL2Srbar0:
        return &state_.srbar0;
    case kL2Srbar1:
        return &state_.srbar1;
    default:
        return nullptr;
    }
}

bool L2Controller::read(uint32_t offset, int width, uint32_t& value)
{
    uint32_t* r = width == 4 ? reg(offset) : nullptr;
    if (!r) return false;
    value = *r;
    return true;
}

bool L2Controller::write(uint32_t offset, int width, uint32_t value)
{
    uint32_t* r = width == 4 ? reg(offset) : nullptr;
    if (!r) return false;
    if (offset == kL2Ctl) {
        // The size field is fixed; an invalidate completes at once.
        *r = (value & kL2CtlWritable) | kL2Siz256K;
    } else {
        *r = value & 0xFFFFC000u; // SRAM base: 16 KiB aligned
    }
    return true;
}

} // namespace host
