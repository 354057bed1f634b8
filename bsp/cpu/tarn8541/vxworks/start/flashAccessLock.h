/*
 * flashAccessLock.h - the lock that serialises every use of the boot flash and
 * the flash disk among the boot code's tasks. Misuse (a take from interrupt
 * context, a give without a take) resets the board.
 */
#ifndef FLASH_ACCESS_LOCK_H
#define FLASH_ACCESS_LOCK_H

void flashAccessLockCreate();
void flashAccessLockTake();
void flashAccessLockGive();

#endif
