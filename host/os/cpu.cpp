// cpu.cpp - the e500 core services: interrupt locking on the modelled machine
// state register, the cache and HID0 writes of a launch, reset, and the entry
// into loaded code (recorded in DIR/handover).
#include "host/board/board.h"
#include "host/os/hostos.h"
#include "host/os/sha256.h"
#include "osapi.h"
#include "sysBus.h"

#include <cstdio>
#include <fstream>

namespace {

std::string hex32(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

void recordWrite(const char* reg, uint32_t v) { host::board().core().writes.push_back(std::string(reg) + "=" + hex32(v)); }

} // namespace

namespace vx {

int intLock()
{
    auto& core = host::board().core();
    uint32_t old = core.msr;
    core.msr &= ~(MSR_CE | MSR_EE);
    return int(old);
}

void intUnlock(int key)
{
    auto& core = host::board().core();
    core.msr = (core.msr & ~(MSR_CE | MSR_EE)) | (uint32_t(key) & (MSR_CE | MSR_EE));
}

uint32_t vxMsrGet() { return host::board().core().msr; }

void vxMsrSet(uint32_t msr)
{
    host::board().core().msr = msr;
    recordWrite("MSR", msr);
}

void vxL1csr1Set(uint32_t v)
{
    host::board().core().l1csr1 = v & ~0x2u; // flash invalidate completes at once
    recordWrite("L1CSR1", v);
}

uint32_t vxL1csr1Get() { return host::board().core().l1csr1; }

void vxHid0Set(uint32_t v)
{
    host::board().core().hid0 = v;
    recordWrite("HID0", v);
}

uint32_t vxHid0Get() { return host::board().core().hid0; }
uint32_t vxHid1Get() { return host::board().core().hid1; }
uint32_t vxL1csr0Get() { return host::board().core().l1csr0; }
uint32_t vxL1cfg0Get() { return host::CoreRegs::kL1cfg0; }
uint32_t vxL1cfg1Get() { return host::CoreRegs::kL1cfg1; }
uint32_t vxPvrGet() { return host::CoreRegs::kPvr; }
uint32_t vxSvrGet() { return host::CoreRegs::kSvr; }

void vxSync() {}

uint32_t sysPlatformClkRate() { return host::board().platformClockHz(); }

void sysReset()
{
    intLock();
    host::board().core().msr |= MSR_EE;
    for (;;) sysBusWrite32(RESET_REG, 0);
}

void sysEnterCode(const char* kind, uint32_t entry, uint32_t startArg, uint32_t loadAddr, uint32_t loadLen)
{
    auto& b = host::board();
    const uint8_t* bytes = b.dram().view(loadAddr, loadLen);
    std::string sha = host::sha256Hex(bytes ? bytes : reinterpret_cast<const uint8_t*>(""), bytes ? loadLen : 0);
    std::string writes;
    for (const auto& w : b.core().writes) writes += (writes.empty() ? "" : ",") + w;
    std::string line = std::string("handover kind=") + kind + " entry=" + hex32(entry) + " arg=" +
                       std::to_string(startArg) + " load=" + hex32(loadAddr) + " bytes=" + std::to_string(loadLen) +
                       " sha256=" + sha + " msr=" + hex32(b.core().msr) + " l1csr1=" + hex32(b.core().l1csr1) +
                       " hid0=" + hex32(b.core().hid0) + " writes=" + writes;
    host::handover(line);
}

} // namespace vx
