/*
 * bootLaunch.h - starting the operational code (inflated from its image) or
 * the diagnostics image (copied to 0x01000000).
 */
#ifndef BOOT_LAUNCH_H
#define BOOT_LAUNCH_H

#include <cstdint>

constexpr uint32_t DIAG_LOAD_ADDRESS = 0x01000000u;

void bootStartOpCode(uint32_t startArg);
void bootStartDiag();
int bootUncompressImage(const char* path, int component);

#endif
