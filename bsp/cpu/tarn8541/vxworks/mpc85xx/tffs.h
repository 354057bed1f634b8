/*
 * tffs.h - the flash disk: the board's socket and flash adapters under
 * TrueFFS, the format parameters and progress display, and mounting
 * "/DskVol/" (formatting it first when it cannot be mounted).
 */
#ifndef TFFS_H
#define TFFS_H

#include "osapi.h"

/* Registers the socket "RFA" and the flash identify routine with TrueFFS;
 * the operating system calls it when it starts TrueFFS. 0 or a TrueFFS status. */
int sysTffsInit();
/* Mounts the flash disk as "/DskVol/", formatting it when it cannot be
 * mounted. 0 when mounted; a failed format or mount halts the task. */
int tffsPPCInit();

/* The adapters (also for tests) */
int tffsIdentify(vx::FlSocket* socket, vx::FlFlash* flash);
int tffsFlashWrite(vx::FlFlash* flash, uint32_t address, const void* buffer, int length);
int lb4gErase(vx::FlFlash* flash, int firstUnit, int unitCount);
int tffsFormatProgress(int unitsToFormat, int unitsDone);

#endif
