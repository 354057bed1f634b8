// pci.h - the processor's PCI controller and the devices on the board's PCI bus.
//
// Software reaches configuration space through the controller's two registers
// in the configuration block (offset 0x8000): CONFIG_ADDRESS selects enable,
// bus, device, function and dword register; CONFIG_DATA is the selected dword
// in PCI (little-endian) byte order, byte k of the window being configuration
// byte register + k. A cycle to a device that is not there ends in a master
// abort and reads all ones. The headers hold what the operating system's PCI
// auto-configuration leaves: memory windows assigned, memory and bus mastering
// enabled.
#pragma once

#include "host/board/bus.h"

#include <array>
#include <cstdint>
#include <vector>

namespace host {

class PciController : public BusDevice {
public:
    static constexpr uint32_t kCcsrOffset = 0x8000;
    static constexpr uint32_t kWindowSize = 0x1000;
    static constexpr uint32_t kCfgAddr = 0x000;
    static constexpr uint32_t kCfgData = 0x004;
    static constexpr uint32_t kCfgEnable = 0x80000000u;

    // Configuration header offsets.
    static constexpr int kVendorId = 0x00, kDeviceId = 0x02, kCommand = 0x04, kStatus = 0x06;
    static constexpr int kRevision = 0x08, kProgIf = 0x09, kSubClass = 0x0A, kClass = 0x0B;
    static constexpr int kCacheLine = 0x0C, kLatency = 0x0D, kHeaderType = 0x0E;
    static constexpr int kBar0 = 0x10, kSubVendor = 0x2C, kSubSystem = 0x2E, kIntLine = 0x3C, kIntPin = 0x3D;

    struct Function {
        uint8_t bus, dev, func;
        std::array<uint8_t, 256> cfg;
        std::array<uint32_t, 6> barSizeMask; // 0: BAR not implemented
    };

    // What a function is made of, for the board's devices and for tests.
    struct FunctionSpec {
        uint8_t bus, dev, func;
        uint16_t vendor, device;
        uint32_t classCode; // 0xCCSSPP
        uint8_t revision;
        uint32_t bar0, bar0Size; // bar0Size 0: no BAR
        uint8_t intPin;
    };

    PciController() { powerOn(); }
    // The board's devices with their configured headers.
    void powerOn();
    // Puts a further function on the bus (tests: other vendors' devices).
    void addFunction(const FunctionSpec& spec);

    bool read(uint32_t offset, int width, uint32_t& value) override;
    bool write(uint32_t offset, int width, uint32_t value) override;

private:
    Function* selected();
    void configWrite(Function& f, int reg, uint8_t byte);

    uint32_t cfgAddr_ = 0;
    std::vector<Function> functions_;
};

} // namespace host
