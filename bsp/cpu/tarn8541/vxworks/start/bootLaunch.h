/*
 * bootLaunch.h - starting the operational code (inflated from its image) or
 * the diagnostics image (copied to 0x01000000), and the hand-over to it.
 */
#ifndef BOOT_LAUNCH_H
#define BOOT_LAUNCH_H

#include <cstdint>

constexpr uint32_t DIAG_LOAD_ADDRESS = 0x01000000u;
constexpr uint32_t DIAG_MAX_SIZE = 0x01000000u;
/* The image buffer of a launch: the whole image file is read into it. */
constexpr uint32_t LAUNCH_BUFFER_SIZE = 0x01000000u;
/* Loaded code goes below this address; the system memory pool (holding the
 * image buffer and the inflate state) lies above it. */
constexpr uint32_t CODE_LOAD_AREA_END = 0x04000000u;
/* Inflate steps: input and output space offered to each inflate call of a
 * component up to 100 KiB; larger ones take steps just under 1 % of their
 * size, which mark the same bar. */
constexpr uint32_t LAUNCH_IN_STEP = 1024;
constexpr uint32_t LAUNCH_OUT_STEP = 3072;

void bootStartOpCode(uint32_t startArg);
void bootStartDiag();
/* Inflates component `component` of the image file to its load address.
 * 0 on success, 1 on failure. */
int bootUncompressImage(const char* path, int component);

/* The inflate loop of a launch: in (avail bytes that were read) to out (room
 * bytes), under the progress ruler with the marks the fixed steps give: one
 * for every even percentage of size consumed. 0 with *produced set when the
 * stream ended within avail, else 1. */
int bootInflate(const uint8_t* in, uint32_t avail, uint32_t size, uint8_t* out, uint32_t room, uint32_t* produced);

/* Address and length of the code the last successful bootUncompressImage
 * produced (what the hand-over reports). */
uint32_t bootLaunchLoadedAddr();
uint32_t bootLaunchLoadedLen();

#endif
