/*
 * hwInfo.cpp - the PCI bus display and the core information display.
 */
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/hwInfo.h"

#include "osapi.h"
#include "sysBus.h"

namespace {

constexpr uint32_t kPorPllSr = CCSR_BASE + 0xE0000;
constexpr uint32_t kL2Ctl = CCSR_BASE + 0x20000;
constexpr uint32_t kL2Srbar0 = CCSR_BASE + 0x20100;
constexpr uint32_t kL2Srbar1 = CCSR_BASE + 0x20108;
constexpr int64_t kSysClkHz = 66000000;  /* system input clock */
constexpr int32_t kPciClkHz = 66000000;
constexpr int kPciBuses = 256;
constexpr int kPciDevices = 31;          /* device 31 is never probed */

/* Core clock from the last ccbFreqGet. Kept 64 bits wide: 16 x 66 MHz x 7/2
 * does not fit the board's int. */
int64_t coreFreq = 0;

/* ---- PCI device names ---- */

struct PciDeviceName {
    uint16_t device;
    const char* text;
};

const PciDeviceName motorolaDevices[] = {{0x0003, "MPC8240\n"}, {0x0006, "MPC8245\n"}};

const PciDeviceName broadcomDevices[] = {
    {0x1644, "BCM5700\n"}, {0x1645, "BCM5701\n"}, {0x1646, "BCM5702\n"}, {0x1647, "BCM5703\n"},
    {0x164D, "BCM5702FE\n"}, {0x16A6, "BCM5702X\n"}, {0x16A7, "BCM5703x\n"}, {0x5615, "BCM5615\n"},
    {0x5645, "BCM5645\n"}, {0x5670, "BCM5670\n"}, {0x5671, "BCM5671\n"}, {0x5673, "BCM5673\n"},
    {0x5675, "BCM5675\n"}, {0x5690, "BCM5690\n"}, {0x5691, "BCM5691\n"}, {0x5692, "BCM5692\n"},
    {0x5693, "BCM5693\n"}, {0x5695, "BCM5695\n"},
};

struct PciVendorName {
    uint16_t vendor;
    const char* label;             /* "Motorola " or "3Com" */
    const PciDeviceName* devices;  /* nullptr: label, " Device 0x%04x\n" */
    int count;
};

const PciVendorName pciVendorNames[] = {
    {0x1057, "Motorola ", motorolaDevices, int(sizeof motorolaDevices / sizeof motorolaDevices[0])},
    {0x14E4, "Broadcom ", broadcomDevices, int(sizeof broadcomDevices / sizeof broadcomDevices[0])},
    {0x10B7, "3Com", nullptr, 0},
    {0x0E11, "Compaq", nullptr, 0},
    {0x8086, "Intel", nullptr, 0},
};

void pciNamePrint(uint16_t vendor, uint16_t device)
{
    for (const auto& v : pciVendorNames) {
        if (v.vendor != vendor) continue;
        if (!v.devices) {
            vx::printf("%s Device 0x%04x\n", v.label, unsigned(device));
            return;
        }
        vx::printf("%s", v.label);
        for (int i = 0; i < v.count; ++i) {
            if (v.devices[i].device == device) {
                vx::printf("%s", v.devices[i].text);
                return;
            }
        }
        vx::printf("\n");
        return;
    }
    vx::printf("\nUnknown device found. VendorId=0x%x DeviceId=0x%x \n", unsigned(vendor), unsigned(device));
}

/* ---- Core display helpers ---- */

unsigned bit(uint32_t v, int n) { return (v >> n) & 1u; }
unsigned bits(uint32_t v, int lo, int hi) { return (v >> lo) & ((1u << (hi - lo + 1)) - 1); }

/* A 32-bit register read; a bus error is reported and gives false. */
bool regRead(uint32_t addr, uint32_t* val)
{
    if (sysBusRead32(addr, val) == 0) return true;
    vx::printf("ERROR: bus error reading the register at 0x%08x\n", addr);
    return false;
}

} // namespace

void pciBusShow(int detail)
{
    for (int bus = 0; bus < kPciBuses; ++bus) {
        for (int dev = 0; dev < kPciDevices; ++dev) {
            uint16_t vendor = 0xFFFF, device = 0xFFFF;
            uint8_t progIf = 0xFF, subClass = 0xFF, cls = 0xFF;
            if (vx::pciConfigInWord(bus, dev, 0, 0, &vendor) != vx::OK) continue;
            vx::pciConfigInWord(bus, dev, 0, 2, &device);
            vx::pciConfigInByte(bus, dev, 0, 9, &progIf);
            vx::pciConfigInByte(bus, dev, 0, 10, &subClass);
            vx::pciConfigInByte(bus, dev, 0, 11, &cls);
            uint32_t classWord = uint32_t(cls) << 16 | uint32_t(subClass) << 8 | progIf;
            if (vendor == 0xFFFF) continue;
            if (detail) {
                vx::printf("\n\nbus       device    function  vendorID  deviceID  class\n");
                vx::printf("%.8x  %.8x  %.8x  %.8x  %.8x  %.8x\n\n", unsigned(bus), unsigned(dev), 0u,
                           unsigned(vendor), unsigned(device), unsigned(classWord));
            }
            pciNamePrint(vendor, device);
            if (detail) {
                vx::pciConfigFuncShow(bus, dev, 0);
                vx::pciHeaderShow(bus, dev, 0);
            }
        }
    }
}

int32_t ccbFreqGet()
{
    uint32_t pll;
    if (sysBusRead32(kPorPllSr, &pll) != 0) return -1;
    uint32_t plat = (pll >> 1) & 0x1F;
    bool platValid = (plat >= 2 && plat <= 10) || plat == 12 || plat == 16;
    if (!platValid) return -1;
    int64_t ccb = kSysClkHz * int64_t(plat);

    /* Core : CCB ratio in halves; fields without an entry give 0. */
    int64_t halves;
    switch ((pll >> 16) & 0x3F) {
    case 4: halves = 4; break;  /* 2:1 */
    case 5: halves = 5; break;  /* 5:2 */
    case 6: halves = 6; break;  /* 3:1 */
    case 7: halves = 7; break;  /* 7:2 */
    default: halves = 0; break;
    }
    coreFreq = ccb * halves / 2;
    return int32_t(ccb);
}

void coreInfoShow()
{
    uint32_t msr = vx::vxMsrGet();
    vx::printf("MSR - 0x%x\n", unsigned(msr));
    vx::printf("      UCLE-%x SPE-%x WE-%x CE-%x EE-%x PR-%x ME-%x\n", bit(msr, 26), bit(msr, 25), bit(msr, 18),
               bit(msr, 17), bit(msr, 15), bit(msr, 14), bit(msr, 12));
    vx::printf("      UBLE-%x DE-%x IS-%x DS-%x PMM-%x\n", bit(msr, 10), bit(msr, 9), bit(msr, 5), bit(msr, 4),
               bit(msr, 2));
    vx::printf("HID0 = 0x%x, HID1 = 0x%x\n", unsigned(vx::vxHid0Get()), unsigned(vx::vxHid1Get()));
    uint32_t l1csr0 = vx::vxL1csr0Get(), l1csr1 = vx::vxL1csr1Get();
    vx::printf("L1CSR0: cache is %s - 0x%x\n", bit(l1csr0, 0) ? "ON" : "OFF", unsigned(l1csr0));
    vx::printf("L1CSR1: Icache is %s - 0x%x\n", bit(l1csr1, 0) ? "ON" : "OFF", unsigned(l1csr1));
    vx::printf("L1CFG0 = 0x%x, L1CFG1 = 0x%x\n", unsigned(vx::vxL1cfg0Get()), unsigned(vx::vxL1cfg1Get()));

    uint32_t l2ctl;
    if (regRead(kL2Ctl, &l2ctl)) {
        vx::printf("L2CTL - 0x%x\n", unsigned(l2ctl));
        vx::printf("        l2 is %s\n", bit(l2ctl, 31) ? "ON" : "OFF");
        vx::printf("        l2siz-%x l2blksz-%x l2do-%x l2io-%x\n", bits(l2ctl, 28, 29), bits(l2ctl, 26, 27),
                   bit(l2ctl, 22), bit(l2ctl, 21));
        vx::printf("        l2pmextdis-%x l2intdis-%x l2sram-%x\n", bit(l2ctl, 20), bit(l2ctl, 19),
                   bits(l2ctl, 16, 18));
    }
    uint32_t srbar;
    if (regRead(kL2Srbar0, &srbar)) vx::printf("L2SRBAR0 - 0x%x\n", unsigned(srbar));
    if (regRead(kL2Srbar1, &srbar)) vx::printf("L2SRBAR1 - 0x%x\n", unsigned(srbar));

    /* The core line shows the clock stored by the last ccbFreqGet (at start-up
     * or the previous display), before this display reads the PLL again. */
    vx::printf("Core Freq = %3lld Hz\n", static_cast<long long>(coreFreq));
    vx::printf("CCB Freq = %3d Hz\n", int(ccbFreqGet()));
    vx::printf("PCI Freq = %3d Hz\n", int(kPciClkHz));
    vx::printf("CPM Freq = %3d Hz\n", int(ccbFreqGet()));
}
