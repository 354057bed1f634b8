// flashBoard.h - the unit-test board with the boot flash driver probed and
// the NOR model's counters cleared, for the flash driver and its users.
#pragma once

#include "bsp/cpu/tarn8541/vxworks/mpc85xx/flashDev.h"
#include "host/board/board.h"
#include "support/testBoard.h"

class FlashBoard : public TestBoard {
protected:
    void SetUp() override
    {
        TestBoard::SetUp();
        flashDevReset();
        ASSERT_EQ(flashDevProbe(), 0);
        takeOutput();
        nor().counters() = {};
    }
    host::NorFlash& nor() { return host::board().nor(); }
};
