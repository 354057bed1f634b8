// pci.cpp - configuration cycles of the PCI controller onto the board's devices.
#include "host/board/pci.h"

namespace host {
namespace {

constexpr uint16_t kVendorFreescale = 0x1057; // Motorola semiconductor vendor ID
constexpr uint16_t kDeviceMpc8541 = 0x0013;
constexpr uint16_t kVendorBroadcom = 0x14E4;
constexpr uint16_t kDeviceBcm5695 = 0x5695;
constexpr uint32_t kClassPowerPc = 0x0B2000;
constexpr uint32_t kClassEthernet = 0x020000;

// The board: the MPC8541 as host bridge, and the two StrataXGS switch chips
// (24 gigabit ports and the stacking links each) on IDSEL AD28 and AD29.
const PciController::FunctionSpec kBoardDevices[] = {
    {0, 0, 0, kVendorFreescale, kDeviceMpc8541, kClassPowerPc, 0x11, 0, 0, 0},
    {0, 17, 0, kVendorBroadcom, kDeviceBcm5695, kClassEthernet, 0x12, 0x80000000u, 0x10000, 1},
    {0, 18, 0, kVendorBroadcom, kDeviceBcm5695, kClassEthernet, 0x12, 0x80010000u, 0x10000, 1},
};

constexpr uint16_t kCmdMemory = 0x0002, kCmdMaster = 0x0004;
constexpr uint16_t kStatusFastB2B = 0x0080, kStatusDevselMedium = 0x0200;

void put16(std::array<uint8_t, 256>& c, int reg, uint16_t v)
{
    c[size_t(reg)] = uint8_t(v);
    c[size_t(reg) + 1] = uint8_t(v >> 8);
}

void put32(std::array<uint8_t, 256>& c, int reg, uint32_t v)
{
    put16(c, reg, uint16_t(v));
    put16(c, reg + 2, uint16_t(v >> 16));
}

} // namespace

void PciController::powerOn()
{
    cfgAddr_ = 0;
    functions_.clear();
    for (const auto& spec : kBoardDevices) addFunction(spec);
}

void PciController::addFunction(const FunctionSpec& s)
{
    Function f{s.bus, s.dev, s.func, {}, {}};
    auto& c = f.cfg;
    put16(c, kVendorId, s.vendor);
    put16(c, kDeviceId, s.device);
    put16(c, kCommand, kCmdMemory | kCmdMaster);
    put16(c, kStatus, kStatusFastB2B | kStatusDevselMedium);
    c[kRevision] = s.revision;
    c[kProgIf] = uint8_t(s.classCode);
    c[kSubClass] = uint8_t(s.classCode >> 8);
    c[kClass] = uint8_t(s.classCode >> 16);
    c[kCacheLine] = 8;
    c[kLatency] = 0x40;
    if (s.bar0Size) {
        f.barSizeMask[0] = ~(s.bar0Size - 1);
        put32(c, kBar0, s.bar0 & f.barSizeMask[0]);
    }
    put16(c, kSubVendor, s.vendor);
    put16(c, kSubSystem, s.device);
    c[kIntLine] = s.intPin ? 0x14 : 0; // external interrupt 4 of the PIC
    c[kIntPin] = s.intPin;
    functions_.push_back(f);
}

PciController::Function* PciController::selected()
{
    if (!(cfgAddr_ & kCfgEnable)) return nullptr;
    auto bus = uint8_t(cfgAddr_ >> 16), dev = uint8_t((cfgAddr_ >> 11) & 0x1F), func = uint8_t((cfgAddr_ >> 8) & 7);
    for (auto& f : functions_) {
        if (f.bus == bus && f.dev == dev && f.func == func) return &f;
    }
    return nullptr; // master abort
}

bool PciController::read(uint32_t offset, int width, uint32_t& value)
{
    if (offset == kCfgAddr && width == 4) {
        value = cfgAddr_;
        return true;
    }
    if (offset < kCfgData || offset + uint32_t(width) > kCfgData + 4) return false;
    Function* f = selected();
    int reg = int(cfgAddr_ & 0xFC) + int(offset - kCfgData);
    value = 0;
    for (int i = 0; i < width; ++i) value = (value << 8) | (f ? f->cfg[size_t(reg + i)] : 0xFFu);
    return true;
}

bool PciController::write(uint32_t offset, int width, uint32_t value)
{
    if (offset == kCfgAddr && width == 4) {
        cfgAddr_ = value & 0x80FFFFFCu;
        return true;
    }
    if (offset < kCfgData || offset + uint32_t(width) > kCfgData + 4) return false;
    Function* f = selected();
    if (!f) return true; // master abort: the write goes nowhere
    int reg = int(cfgAddr_ & 0xFC) + int(offset - kCfgData);
    for (int i = width - 1; i >= 0; --i) {
        configWrite(*f, reg + i, uint8_t(value));
        value >>= 8;
    }
    return true;
}

// Only the writable fields change: command, cache line size, latency timer,
// the address bits of implemented BARs and the interrupt line.
void PciController::configWrite(Function& f, int reg, uint8_t byte)
{
    if (reg == kCommand || reg == kCommand + 1 || reg == kCacheLine || reg == kLatency || reg == kIntLine) {
        f.cfg[size_t(reg)] = byte;
    } else if (reg >= kBar0 && reg < kBar0 + 24) {
        int bar = (reg - kBar0) / 4, shift = 8 * ((reg - kBar0) % 4);
        uint8_t mask = uint8_t(f.barSizeMask[size_t(bar)] >> shift);
        f.cfg[size_t(reg)] = uint8_t(byte & mask);
    }
}

} // namespace host
