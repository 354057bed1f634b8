// mpc85xxI2c.h - the processor's own I2C controller (configuration block
// offset 0x3000), master mode.
//
// Each register is one byte, the lowest-addressed byte of its 32-bit word.
// Setting MSTA starts a transfer (the first byte written to the data
// register is the address byte), clearing it sends a stop, RSTA sends a
// repeated start. Every byte moved sets MCF and MIF; RXAK shows the
// acknowledge of the last byte sent; in receive mode each read of the data
// register returns the last byte received and clocks in the next, which is
// acknowledged unless TXAK is set. MBB follows the bus; taking the bus while
// it is busy, or a repeated start while not master, loses arbitration (MAL).
#pragma once

#include "host/board/bus.h"
#include "host/board/i2cBus.h"

#include <cstdint>

namespace host {

class Mpc85xxI2c : public BusDevice {
public:
    static constexpr uint32_t kOffset = 0x3000; // in the configuration block
    static constexpr uint32_t kWindow = 0x100;
    // Register offsets
    static constexpr uint32_t kAdr = 0x00, kFdr = 0x04, kCr = 0x08, kSr = 0x0C, kDr = 0x10, kDfsrr = 0x14;
    // Control register
    static constexpr uint8_t kMen = 0x80, kMien = 0x40, kMsta = 0x20, kMtx = 0x10, kTxak = 0x08, kRsta = 0x04;
    // Status register
    static constexpr uint8_t kMcf = 0x80, kMaas = 0x40, kMbb = 0x20, kMal = 0x10, kMif = 0x02, kRxak = 0x01;

    explicit Mpc85xxI2c(I2cBus& bus) : bus_(bus) {}
    void powerOn();

    bool read(uint32_t offset, int width, uint32_t& value) override;
    bool write(uint32_t offset, int width, uint32_t value) override;

    // Register reads without side effects (tests).
    uint8_t peek(uint32_t reg) const;

private:
    struct State {
        uint8_t adr = 0, fdr = 0, cr = 0, dr = 0, dfsrr = 0x10;
        bool mcf = true, mal = false, mif = false, rxak = true;
        bool master = false;
        bool addressNext = false; // the next byte sent is an address byte
    };
    uint8_t regRead(uint32_t reg);
    void regWrite(uint32_t reg, uint8_t v);
    void controlWrite(uint8_t v);
    void byteDone(bool acked);
    void loseArbitration();

    I2cBus& bus_;
    State s_;
};

} // namespace host
