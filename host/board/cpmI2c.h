// cpmI2c.h - the Communications Processor Module's window (configuration
// block offset 0x80000) as far as its I2C channel needs it: the dual-port
// RAM with the I2C parameter RAM and buffer descriptors, the CP command
// register, the I2C registers and port D. Other offsets are plain registers.
//
// CP commands: a write of the command register with the reset bit or the
// busy flag issues a command; both bits read back set until it completes,
// kCpResetNs for a reset and kCpCommandNs for a channel command on the board
// clock (the model's figures: the manual promises only that the flag clears
// when the CP is done). The command acts when it completes (a reset clears
// the I2C registers and ends a transfer; an init command resets the channel's
// parameter RAM pointers); a command written while one runs is ignored.
// Nothing else waits after a reset: the channel works as soon as the flag
// clears.
//
// Transfers: I2COM start with the controller enabled runs the transmit
// descriptors from TBPTR as master. A descriptor with the start bit sends a
// start and its first byte as the address; a read address turns each
// further byte of the descriptor into one byte clocked in to the receive
// descriptor at RBPTR (the last of a descriptor with the last bit is not
// acknowledged). The last bit ends with a stop; an unacknowledged byte sets
// the descriptor's no-acknowledge bit and ends the transfer. Buffers are
// reached over the physical bus. The channel holds the bus from the start;
// the bytes reach the wires and the descriptors, buffers and events show the
// result once every ready descriptor's bytes have had their time: nine SCL
// periods a byte, SCL = BRGCLK / (prescaler x 2 x (I2BRG + 3)), BRGCLK = the
// platform clock / 16 (the system clock control register's reset divider),
// prescaler 32, 16, 8 or 4 from I2MOD's PDIV field. Clearing the enable bit
// before then abandons the transfer (nothing was sent). A transfer that finds
// the bus busy does not start.
//
// What must be set up, as on the chip: port D's two I2C pins (0x00030000)
// as inputs in PDIR, assigned to the peripheral in PPAR and PSOR, open drain
// in PODR; and I2BRG at least 3 (6 with the I2MOD filter bit), the smallest
// divider the clock generator runs with. Without either nothing moves on the
// wires: the descriptors stay ready for ever.
#pragma once

#include "host/board/bus.h"
#include "host/board/i2cBus.h"
#include "host/board/modelTime.h"

#include <cstdint>
#include <map>
#include <vector>

namespace host {

class CpmI2c : public BusDevice {
public:
    static constexpr uint32_t kOffset = 0x80000; // in the configuration block
    static constexpr uint32_t kWindow = 0x20000;
    static constexpr uint32_t kDpramSize = 0xC000; // dual-port RAM and parameter pages
    static constexpr uint32_t kI2cBasePtr = 0x8AFC;
    // CP command register
    static constexpr uint32_t kCpcr = 0x119C0;
    static constexpr uint32_t kCpcrRst = 0x80000000u, kCpcrFlg = 0x00010000u;
    static constexpr uint32_t kI2cPage = 0x0A, kI2cSbc = 0x0B;
    // I2C registers (one byte each, first byte of the word)
    static constexpr uint32_t kI2mod = 0x11860, kI2add = 0x11864, kI2brg = 0x11868, kI2com = 0x1186C,
                              kI2cer = 0x11870, kI2cmr = 0x11874;
    static constexpr uint8_t kModEn = 0x01, kModFlt = 0x08, kComStr = 0x80, kComMaster = 0x01;
    // Port D: direction, pin assignment, special options, open drain
    static constexpr uint32_t kPdir = 0x10D60, kPpar = 0x10D64, kPsor = 0x10D68, kPodr = 0x10D6C;
    static constexpr uint32_t kPdI2cPins = 0x00030000;
    static constexpr uint64_t kCpResetNs = 20000, kCpCommandNs = 2000;
    static constexpr uint8_t kEvRxb = 0x01, kEvTxb = 0x02, kEvBsy = 0x04, kEvTxe = 0x10;
    // Parameter RAM fields (offsets from the I2C parameter base)
    static constexpr uint32_t kRbase = 0x00, kTbase = 0x02, kMrblr = 0x06, kRbptr = 0x10, kTbptr = 0x20;
    // Buffer descriptor status bits
    static constexpr uint16_t kBdReady = 0x8000, kBdWrap = 0x2000, kBdInt = 0x1000, kBdLast = 0x0800,
                              kBdStart = 0x0400, kBdNak = 0x0004;

    CpmI2c(I2cBus& i2c, PhysicalBus& phys, uint32_t platformHz) : i2c_(i2c), phys_(phys), platformHz_(platformHz) {}
    void powerOn();
    // One byte's full chip time at the rate I2MOD and I2BRG set, ns (0: no clock).
    uint64_t byteNs() const;

    bool read(uint32_t offset, int width, uint32_t& value) override;
    bool write(uint32_t offset, int width, uint32_t value) override;

private:
    uint32_t dp(uint32_t off, int width) const;
    void setDp(uint32_t off, int width, uint32_t v);
    void catchUp();
    void command(uint32_t v);
    void completeCommand();
    void resetI2c();
    void startTransfer();
    bool pinsRouted() const;
    void transmit();
    bool receiveByte(uint8_t b, uint16_t& rbptr, uint32_t& rcount, bool& rxOpen);
    void closeReceive(uint16_t& rbptr, uint32_t rcount);

    I2cBus& i2c_;
    PhysicalBus& phys_;
    uint32_t platformHz_;
    ModelBusy cmd_, xfer_;
    std::vector<uint8_t> dpram_ = std::vector<uint8_t>(kDpramSize, 0);
    std::map<uint32_t, uint32_t> plain_;
    uint32_t cpcr_ = 0;
    uint8_t i2mod_ = 0, i2add_ = 0, i2brg_ = 0, i2com_ = 0, i2cer_ = 0, i2cmr_ = 0;
    bool inTransfer_ = false; // the bus is ours (from I2COM start to the stop)
};

} // namespace host
