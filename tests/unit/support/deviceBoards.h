// deviceBoards.h - unit-test boards for the device drivers: the I2C controller
// initialised (the I2C drivers and the devices behind them), or the boot flash
// driver probed with the NOR model's counters cleared (the flash driver and its users).
#pragma once

#include "bsp/cpu/tarn8541/vxworks/mpc85xx/flashDev.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/i2cLib.h"
#include "host/board/board.h"
#include "support/testBoard.h"

class I2cBoard : public TestBoard {
protected:
    void SetUp() override
    {
        TestBoard::SetUp();
        ASSERT_EQ(i2cInit(0x90, 0x10, 0x3F), 0);
    }
};

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
