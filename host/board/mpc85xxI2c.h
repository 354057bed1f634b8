// mpc85xxI2c.h - the processor's own I2C controller (configuration block
// offset 0x3000), master mode.
//
// Each register is one byte, the lowest-addressed byte of its 32-bit word.
// Setting MSTA takes the bus and makes a start (the first byte written to the
// data register is the address byte), clearing it makes a stop, RSTA a
// repeated start. In transmit mode a write of the data register starts a
// byte; in receive mode a read of it returns the last byte received and
// starts clocking in the next one, which the controller acknowledges unless
// TXAK is set when the byte's acknowledge bit goes by (TXAK is sampled as
// the byte ends). MBB follows the bus; taking the bus while it is busy, or a
// repeated start while not master, loses arbitration (MAL).
//
// Timing: a byte (eight data bits and the acknowledge) takes nine SCL
// periods. SCL = source clock / divider, where the source clock is the
// platform (CCB) clock and the divider comes from I2CFDR through the table
// below (the chip's table for the reset filter sampling rate I2CDFSRR =
// 0x10, which the boot code keeps; other sampling rates shift the chip's
// dividers slightly, the model keeps the table). Start and stop conditions
// take no time of their own. While a byte moves, MCF reads 0; when its
// time has elapsed on the board clock (host/board/modelTime.h) it reaches
// the device and MCF, MIF and RXAK are set. MIF stays set until software
// writes 0 to it. A data register write while a byte moves is lost (the
// shift register is busy), a read returns the previous byte and starts
// nothing; clearing MSTA or MEN while a byte moves cuts the byte off.
#pragma once

#include "host/board/bus.h"
#include "host/board/i2cBus.h"
#include "host/board/modelTime.h"

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
    // Source clock divider for each I2CFDR value (I2CDFSRR = 0x10).
    static constexpr uint16_t kDivider[64] = {
        384,   416,   480,   576,   640,   704,   832,   1024,  1152,  1280,  1536,  1920,  2304,
        2560,  3072,  3840,  4608,  5120,  6144,  7680,  9216,  10240, 12288, 15360, 18432, 20480,
        24576, 30720, 36864, 40960, 49152, 61440, 256,   288,   320,   352,   384,   448,   512,
        576,   640,   768,   896,   1024,  1280,  1536,  1792,  2048,  2560,  3072,  3584,  4096,
        5120,  6144,  7168,  8192,  10240, 12288, 14336, 16384, 20480, 24576, 28672, 32768};

    Mpc85xxI2c(I2cBus& bus, uint32_t sourceHz) : bus_(bus), sourceHz_(sourceHz) {}
    void powerOn();

    bool read(uint32_t offset, int width, uint32_t& value) override;
    bool write(uint32_t offset, int width, uint32_t value) override;

    // Register reads without side effects (tests).
    uint8_t peek(uint32_t reg) const;
    // How long one byte takes at the divider now set (full chip time, ns).
    uint64_t byteNs() const;

private:
    enum class Pending { None, Address, Send, Receive };
    struct State {
        uint8_t adr = 0, fdr = 0, cr = 0, dr = 0, dfsrr = 0x10;
        bool mcf = true, mal = false, mif = false, rxak = true;
        bool master = false;
        bool addressNext = false; // the next byte sent is an address byte
        Pending pending = Pending::None;
        uint8_t out = 0;          // the byte being sent
    };
    void catchUp();
    void startByte(Pending kind, uint8_t out);
    uint8_t regRead(uint32_t reg);
    void regWrite(uint32_t reg, uint8_t v);
    void controlWrite(uint8_t v);
    void stop();
    void loseArbitration();

    I2cBus& bus_;
    uint32_t sourceHz_;
    State s_;
    ModelBusy byte_;
};

} // namespace host
