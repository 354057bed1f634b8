// board.cpp - assembly of the board model on its physical bus.
#include "host/board/board.h"

#include "host/os/hostos.h"

namespace host {

Board::Board() : ccsr_([] { boardReset(); })
{
    bus_.map(0, Dram::kSize, &dram_, "DRAM");
    bus_.map(Ccsr::kBase, Ccsr::kSize, &ccsr_, "CCSR");
    bus_.map(NorFlash::kBase, NorFlash::kSize, &nor_, "NOR flash");
}

void Board::powerOn()
{
    dram_.powerOn();
    ccsr_.powerOn();
    core_.powerOn();
    powerOnError_ = nor_.powerOn(dir_.empty() ? std::string() : dir_ + "/nor.bin");
}

Board& board()
{
    static Board theBoard;
    return theBoard;
}

} // namespace host
