// sysBus.cpp - the board support's bus accessors over the board model.
#include "sysBus.h"

#include "host/board/board.h"
#include "host/os/hostos.h"
#include "osapi.h"

namespace {

template <typename T>
int busRead(uint32_t addr, int width, T* val)
{
    uint32_t v;
    if (!host::board().bus().read(addr, width, v)) return -1;
    *val = T(v);
    return 0;
}

uint32_t byteSwap32(uint32_t v)
{
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

[[noreturn]] void machineCheck(uint32_t addr, int width, const char* dir)
{
    vx::printf("\nMachine check: %d-bit %s at address 0x%08x (no device)\n", width * 8, dir, addr);
    vx::fflushStdout();
    host::boardReset();
}

} // namespace

int sysBusRead8(uint32_t addr, uint8_t* val) { return busRead(addr, 1, val); }
int sysBusRead16(uint32_t addr, uint16_t* val) { return busRead(addr, 2, val); }
int sysBusRead32(uint32_t addr, uint32_t* val) { return busRead(addr, 4, val); }
int sysBusWrite8(uint32_t addr, uint8_t val) { return host::board().bus().write(addr, 1, val) ? 0 : -1; }
int sysBusWrite16(uint32_t addr, uint16_t val) { return host::board().bus().write(addr, 2, val) ? 0 : -1; }
int sysBusWrite32(uint32_t addr, uint32_t val) { return host::board().bus().write(addr, 4, val) ? 0 : -1; }

int sysBusRead32Rev(uint32_t addr, uint32_t* val)
{
    uint32_t v;
    if (sysBusRead32(addr, &v) != 0) return -1;
    *val = byteSwap32(v);
    return 0;
}

int sysBusWrite32Rev(uint32_t addr, uint32_t val) { return sysBusWrite32(addr, byteSwap32(val)); }

uint32_t sysIn32(uint32_t addr)
{
    uint32_t v;
    if (sysBusRead32(addr, &v) != 0) machineCheck(addr, 4, "read");
    return v;
}

void sysOut32(uint32_t addr, uint32_t val)
{
    if (sysBusWrite32(addr, val) != 0) machineCheck(addr, 4, "write");
}
