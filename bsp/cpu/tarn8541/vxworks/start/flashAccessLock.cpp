/*
 * flashAccessLock.cpp - the flash access lock.
 */
#include "bsp/cpu/tarn8541/vxworks/start/flashAccessLock.h"

#include "osapi.h"

namespace {

vx::SEM_ID flashAccessLock = nullptr;
int flashAccessAvailable = 0;

} // namespace

void flashAccessLockCreate()
{
    flashAccessLock = vx::semBCreate(vx::SEM_Q_FIFO, vx::SEM_FULL);
    flashAccessAvailable = 1;
}

void flashAccessLockTake()
{
    if (vx::intContext()) vx::sysReset();
    vx::semTake(flashAccessLock, vx::WAIT_FOREVER);
    if (flashAccessAvailable == 0) vx::sysReset();
    flashAccessAvailable = 0;
}

void flashAccessLockGive()
{
    if (flashAccessAvailable == 1) vx::sysReset();
    flashAccessAvailable = 1;
    vx::semGive(flashAccessLock);
}
