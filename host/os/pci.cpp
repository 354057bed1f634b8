// pci.cpp - the operating system's PCI configuration access and displays,
// through the PCI controller's CONFIG_ADDRESS / CONFIG_DATA registers.
#include "osapi.h"
#include "sysBus.h"

namespace {

constexpr uint32_t kCfgAddr = CCSR_BASE + 0x8000;
constexpr uint32_t kCfgData = CCSR_BASE + 0x8004;
constexpr uint32_t kCfgEnable = 0x80000000u;

bool argsValid(int bus, int dev, int func, int offset, int width)
{
    return bus >= 0 && bus <= 255 && dev >= 0 && dev <= 31 && func >= 0 && func <= 7 && offset >= 0 &&
           offset + width <= 256 && offset % width == 0;
}

// Reads width bytes at offset; the data register is in PCI byte order.
vx::STATUS configIn(int bus, int dev, int func, int offset, int width, uint32_t* val)
{
    if (!argsValid(bus, dev, func, offset, width)) return vx::ERROR;
    uint32_t addr = kCfgEnable | uint32_t(bus) << 16 | uint32_t(dev) << 11 | uint32_t(func) << 8 | uint32_t(offset & 0xFC);
    uint32_t dword;
    if (sysBusWrite32(kCfgAddr, addr) != 0 || sysBusRead32Rev(kCfgData, &dword) != 0) return vx::ERROR;
    uint32_t v = dword >> (8 * (offset & 3));
    *val = width == 4 ? v : v & ((1u << (8 * width)) - 1);
    return vx::OK;
}

uint32_t in(int bus, int dev, int func, int offset, int width)
{
    uint32_t v = 0xFFFFFFFFu;
    configIn(bus, dev, func, offset, width, &v);
    return v;
}

const char* classText(uint32_t cls)
{
    switch (cls) {
    case 0x00: return "PRE-2.0 DEVICE";
    case 0x01: return "MASS STORAGE";
    case 0x02: return "NETWORK_CONTROLLER";
    case 0x03: return "DISPLAY";
    case 0x04: return "MULTIMEDIA";
    case 0x05: return "MEMORY";
    case 0x06: return "BRIDGE";
    case 0x07: return "COMMUNICATION";
    case 0x08: return "SYSTEM PERIPHERAL";
    case 0x0B: return "PROCESSOR";
    case 0x0C: return "SERIAL BUS";
    default: return "OTHER";
    }
}

} // namespace

namespace vx {

STATUS pciConfigInByte(int bus, int dev, int func, int offset, uint8_t* val)
{
    uint32_t v;
    if (configIn(bus, dev, func, offset, 1, &v) != OK) return ERROR;
    *val = uint8_t(v);
    return OK;
}

STATUS pciConfigInWord(int bus, int dev, int func, int offset, uint16_t* val)
{
    uint32_t v;
    if (configIn(bus, dev, func, offset, 2, &v) != OK) return ERROR;
    *val = uint16_t(v);
    return OK;
}

STATUS pciConfigInLong(int bus, int dev, int func, int offset, uint32_t* val)
{
    return configIn(bus, dev, func, offset, 4, val);
}

STATUS pciHeaderShow(int bus, int dev, int func)
{
    if (!argsValid(bus, dev, func, 0, 4)) return ERROR;
    auto b = [&](int off) { return unsigned(in(bus, dev, func, off, 1)); };
    auto w = [&](int off) { return unsigned(in(bus, dev, func, off, 2)); };
    auto l = [&](int off) { return unsigned(in(bus, dev, func, off, 4)); };
    printf("vendor ID =                   0x%.4x\n", w(0x00));
    printf("device ID =                   0x%.4x\n", w(0x02));
    printf("command register =            0x%.4x\n", w(0x04));
    printf("status register =             0x%.4x\n", w(0x06));
    printf("revision ID =                 0x%.2x\n", b(0x08));
    printf("class code =                  0x%.2x\n", b(0x0B));
    printf("sub class code =              0x%.2x\n", b(0x0A));
    printf("programming interface =       0x%.2x\n", b(0x09));
    printf("cache line =                  0x%.2x\n", b(0x0C));
    printf("latency time =                0x%.2x\n", b(0x0D));
    printf("header type =                 0x%.2x\n", b(0x0E));
    printf("BIST =                        0x%.2x\n", b(0x0F));
    if ((b(0x0E) & 0x7F) != 0) {
        printf("(header type 0x%.2x: bridge fields not shown)\n", b(0x0E) & 0x7F);
        return OK;
    }
    for (int i = 0; i < 6; ++i) printf("base address %d =              0x%.8x\n", i, l(0x10 + 4 * i));
    printf("cardBus CIS pointer =         0x%.8x\n", l(0x28));
    printf("sub system vendor ID =        0x%.4x\n", w(0x2C));
    printf("sub system ID =               0x%.4x\n", w(0x2E));
    printf("expansion ROM base address =  0x%.8x\n", l(0x30));
    printf("interrupt line =              0x%.2x\n", b(0x3C));
    printf("interrupt pin =               0x%.2x\n", b(0x3D));
    printf("min Grant =                   0x%.2x\n", b(0x3E));
    printf("max Latency =                 0x%.2x\n", b(0x3F));
    return OK;
}

STATUS pciConfigFuncShow(int bus, int dev, int func)
{
    if (!argsValid(bus, dev, func, 0, 4)) return ERROR;
    unsigned cls = in(bus, dev, func, 0x0B, 1);
    unsigned status = in(bus, dev, func, 0x06, 2);
    unsigned cmd = in(bus, dev, func, 0x04, 2);
    printf("[%d,%d,%d] type=%s\n", bus, dev, func, classText(cls));
    printf("\tstatus=0x%.4x (%s%s%s DEVSEL=%u )\n", status, status & 0x0010 ? " CAP" : "",
           status & 0x0020 ? " 66MHZ" : "", status & 0x0080 ? " FAST_BACK_TO_BACK" : "", (status >> 9) & 3);
    printf("\tcommand=0x%.4x (%s%s%s )\n", cmd, cmd & 0x0001 ? " IO_ENABLE" : "", cmd & 0x0002 ? " MEM_ENABLE" : "",
           cmd & 0x0004 ? " MASTER_ENABLE" : "");
    if ((in(bus, dev, func, 0x0E, 1) & 0x7F) != 0) return OK;
    for (int i = 0; i < 6; ++i) {
        uint32_t bar = in(bus, dev, func, 0x10 + 4 * i, 4);
        if (bar == 0) continue;
        if (bar & 1)
            printf("\tbar%d in I/O space @ 0x%.8x\n", i, bar & ~3u);
        else
            printf("\tbar%d in %s mem space @ 0x%.8x\n", i, (bar & 6) == 4 ? "64-bit" : "32-bit", bar & ~0xFu);
    }
    return OK;
}

} // namespace vx
