// at24c02.h - the VPD EEPROM: an AT24C02-class 256-byte serial EEPROM.
//
// Random and sequential reads (the address pointer rolls over the whole
// array), byte and 8-byte page writes (the pointer wraps within the page), and
// the internal write cycle that follows every write: from the stop that ends
// the write the part does not acknowledge its address until tWR (5 ms, the
// datasheet's maximum) has elapsed on the board clock (host/board/modelTime.h),
// so acknowledge polling takes as many attempts as the bus rate gives.
// Contents are kept in DIR/eeprom.bin, written through at the end of each
// write; a new board gets the factory VPD. A power cut injected during a write
// cycle leaves that write torn: each byte it was writing is old, new or erased.
#pragma once

#include "host/board/i2cBus.h"
#include "host/board/modelTime.h"

#include <array>
#include <cstdint>
#include <string>

namespace host {

class At24c02 : public I2cDevice {
public:
    static constexpr uint8_t kAddress = 0x51;
    static constexpr int kSize = 256;
    static constexpr int kPage = 8;
    static constexpr uint64_t kWriteCycleNs = 5000000; // tWR

    using Image = std::array<uint8_t, kSize>;
    static Image factoryImage();

    // Power-on: contents from path (factory contents written there when it
    // holds none; an empty path keeps them in memory only).
    void powerOn(const std::string& path);
    const Image& contents() const { return mem_; }
    // Replaces the whole contents, written through (tests, service tools).
    void setContents(const Image& img);
    bool inWriteCycle() const { return cycle_.busy(); }
    // Fault injection: the power fails during the nth write cycle from now
    // (0: never).
    void setPowerCutAfterWrites(uint64_t n) { cutAfter_ = n, writes_ = 0; }

    void busStart() override;
    bool addressed(bool read) override;
    bool receive(uint8_t byte) override;
    uint8_t transmit() override;
    void busStop() override;

private:
    struct Pending {
        bool loaded[kPage];
        uint8_t data[kPage];
        int count;
    };
    Image mem_{};
    std::string path_;
    uint8_t ptr_ = 0;
    bool selected_ = false;       // addressed since the last start
    bool wordAddressNext_ = false; // the next byte written is the word address
    Pending page_{};
    ModelBusy cycle_;
    uint64_t cutAfter_ = 0, writes_ = 0;
};

} // namespace host
