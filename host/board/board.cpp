// board.cpp - assembly of the board model on its physical bus.
#include "host/board/board.h"

#include "host/os/hostos.h"

namespace host {

Board::Board() : ccsr_([] { boardReset(); })
{
    bus_.map(0, Dram::kSize, &dram_, "DRAM");
    bus_.map(Ccsr::kBase, Ccsr::kSize, &ccsr_, "CCSR");
    ccsr_.attach(Mpc85xxI2c::kOffset, Mpc85xxI2c::kWindow, &i2c_);
    ccsr_.attach(CpmI2c::kOffset, CpmI2c::kWindow, &cpm_);
    i2cBus_.attach(Ds1338::kAddress, &rtc_);
    i2cBus_.attach(At24c02::kAddress, &eeprom_);
    ccsr_.attach(PciController::kCcsrOffset, PciController::kWindowSize, &pci_);
    ccsr_.attach(L2Controller::kCcsrOffset, L2Controller::kWindowSize, &l2_);
    bus_.map(NorFlash::kBase, NorFlash::kSize, &nor_, "NOR flash");
}

void Board::powerOn()
{
    dram_.powerOn();
    ccsr_.powerOn();
    core_.powerOn();
    i2c_.powerOn();
    cpm_.powerOn();
    i2cBus_.powerOn();
    eeprom_.powerOn(dir_.empty() ? "" : dir_ + "/eeprom.bin");
    rtc_.powerOn(dir_.empty() ? "" : dir_ + "/rtc.bin");
    pci_.powerOn();
    l2_.powerOn();
    powerOnError_ = nor_.powerOn(dir_.empty() ? std::string() : dir_ + "/nor.bin");
}

Board& board()
{
    static Board theBoard;
    return theBoard;
}

} // namespace host
