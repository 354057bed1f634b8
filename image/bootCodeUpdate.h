/*
 * bootCodeUpdate.h - writing a boot code file into the boot region of the
 * NOR flash (the top megabyte, 0xFFF00000 to 0xFFFFFFFF).
 *
 * The whole file is read and checked before anything on the flash changes;
 * after the erase and the writes the region is read back and compared, so
 * success means the region holds exactly the file followed by erased flash.
 */
#ifndef BOOT_CODE_UPDATE_H
#define BOOT_CODE_UPDATE_H

#include <cstdint>

constexpr uint32_t BOOT_FLASH_START = 0xFFF00000u;
constexpr uint32_t BOOT_FLASH_END = 0xFFFFFFFFu;
constexpr uint32_t BOOT_FLASH_SIZE = BOOT_FLASH_END - BOOT_FLASH_START + 1;
constexpr uint32_t BOOT_UPDATE_PIECE = 1024;
constexpr uint32_t BOOT_UPDATE_PROGRESS = 0x10000;

/* Results */
constexpr int BOOT_UPDATE_OK = 0;
constexpr int BOOT_UPDATE_NO_FILE = 1;      /* the file cannot be opened */
constexpr int BOOT_UPDATE_ERASE_FAILED = 2; /* nothing written */
constexpr int BOOT_UPDATE_WRITE_FAILED = 3; /* a write failed or the read-back differs */
constexpr int BOOT_UPDATE_BAD_FILE = 4;     /* empty, too long, odd length or unreadable: flash untouched */

int bootCodeUpdate(const char* path);

#endif
