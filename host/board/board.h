// board.h - the tarn8541 board model: DRAM, the configuration register block
// and the processor core's registers, reached through the physical bus.
// The I2C controllers and devices, the PCI and L2 controllers hang off the
// configuration block; the NOR flash sits on the physical bus.
#pragma once

#include "host/board/bus.h"
#include "host/board/at24c02.h"
#include "host/board/ccsr.h"
#include "host/board/cpmI2c.h"
#include "host/board/dram.h"
#include "host/board/ds1338.h"
#include "host/board/i2cBus.h"
#include "host/board/mpc85xxI2c.h"
#include "host/board/l2cache.h"
#include "host/board/pci.h"
#include "host/board/norFlash.h"

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// The e500 core registers the boot code touches, with a record of the writes
// the hand-over makes. Values are those the board support's start-up leaves:
// both L1 caches on, time base enabled, machine checks to the core.
struct CoreRegs {
    static constexpr uint32_t kPvr = 0x80200020;           // e500 (v1) rev 2.0
    static constexpr uint32_t kSvr = 0x80720011;           // MPC8541 rev 1.1
    static constexpr uint32_t kMsrPowerOn = 0x00029000;    // CE | EE | ME
    static constexpr uint32_t kHid0PowerOn = 0x80004000;   // EMCP | TBEN
    static constexpr uint32_t kHid1PowerOn = 0x14001000;   // PLL_CFG 5:2 | ABE
    static constexpr uint32_t kL1csr0PowerOn = 0x00000001; // data cache enabled
    static constexpr uint32_t kL1csr1PowerOn = 0x00000001; // instruction cache enabled
    // 32 KiB, 8-way, 32-byte lines, pseudo-LRU, line locking and parity;
    // L1CFG0 also: Harvard caches, flash invalidate and lock clear by software.
    static constexpr uint32_t kL1cfg0 = 0x08583820;
    static constexpr uint32_t kL1cfg1 = 0x00583820;
    uint32_t msr = kMsrPowerOn;
    uint32_t l1csr0 = kL1csr0PowerOn;
    uint32_t l1csr1 = kL1csr1PowerOn;
    uint32_t hid0 = kHid0PowerOn;
    uint32_t hid1 = kHid1PowerOn;
    std::vector<std::string> writes; // "MSR=...", "L1CSR1=...", "HID0=..."
    void powerOn() { *this = CoreRegs{}; }
};

class Board {
public:
    static constexpr uint32_t kInputClockHz = 66000000;

    Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // Power-on state of every device; devices persisted in the board directory
    // (NOR flash, EEPROM, clock) take their contents from it. Clears I2C faults.
    void powerOn();

    PhysicalBus& bus() { return bus_; }
    Dram& dram() { return dram_; }
    Ccsr& ccsr() { return ccsr_; }
    CoreRegs& core() { return core_; }
    I2cBus& i2cBus() { return i2cBus_; }
    Ds1338& rtc() { return rtc_; }
    At24c02& eeprom() { return eeprom_; }
    PciController& pci() { return pci_; }
    L2Controller& l2() { return l2_; }
    NorFlash& nor() { return nor_; }
    // What is wrong with a persisted device's file at the last power-on ("" if nothing).
    const std::string& powerOnError() const { return powerOnError_; }
    uint32_t platformClockHz() const { return kInputClockHz * Ccsr::kPlatRatio; }

    // Where the board's persistent state lives (DIR).
    const std::string& dir() const { return dir_; }
    void setDir(std::string dir) { dir_ = std::move(dir); }

private:
    PhysicalBus bus_;
    Dram dram_;
    Ccsr ccsr_;
    CoreRegs core_;
    I2cBus i2cBus_;
    Ds1338 rtc_;
    At24c02 eeprom_;
    Mpc85xxI2c i2c_{i2cBus_, kInputClockHz * Ccsr::kPlatRatio};
    CpmI2c cpm_{i2cBus_, bus_, kInputClockHz * Ccsr::kPlatRatio};
    PciController pci_;
    L2Controller l2_;
    NorFlash nor_;
    std::string dir_;
    std::string powerOnError_;
};

// The one board of this process.
Board& board();

} // namespace host
