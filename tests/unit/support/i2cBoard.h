// i2cBoard.h - the unit-test board with the I2C controller initialised, for
// the I2C drivers and the devices behind them.
#pragma once

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
