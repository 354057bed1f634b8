// board.h - the tarn8541 board model: DRAM, the configuration register block
// and the processor core's registers, reached through the physical bus.
// Device models of later stages (I2C, NOR flash, PCI) are added here.
#pragma once

#include "host/board/bus.h"
#include "host/board/ccsr.h"
#include "host/board/dram.h"
#include "host/board/norFlash.h"

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// The e500 core registers the boot code touches, with a record of the writes
// the hand-over makes.
struct CoreRegs {
    static constexpr uint32_t kMsrPowerOn = 0x00029000; // CE | EE | ME
    static constexpr uint32_t kL1csr1PowerOn = 0x00000001; // instruction cache enabled
    uint32_t msr = kMsrPowerOn;
    uint32_t l1csr1 = kL1csr1PowerOn;
    uint32_t hid0 = 0;
    std::vector<std::string> writes; // "MSR=...", "L1CSR1=...", "HID0=..."
    void powerOn() { *this = CoreRegs{}; }
};

class Board {
public:
    static constexpr uint32_t kInputClockHz = 66000000;

    Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // Power-on state of every device (the board directory is kept apart).
    // Devices persisted in the board directory take their contents from it.
    void powerOn();

    PhysicalBus& bus() { return bus_; }
    Dram& dram() { return dram_; }
    Ccsr& ccsr() { return ccsr_; }
    CoreRegs& core() { return core_; }
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
    NorFlash nor_;
    std::string dir_;
    std::string powerOnError_;
};

// The one board of this process.
Board& board();

} // namespace host
