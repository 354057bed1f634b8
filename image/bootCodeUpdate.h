/*
 * bootCodeUpdate.h - writing a boot code file into the boot region of the
 * NOR flash (the top megabyte, 0xFFF00000 to 0xFFFFFFFF).
 *
 * The update erases the whole region and writes the file from its start, and
 * the processor starts at the region's last word (the reset vector at
 * 0xFFFFFFFC). So only a file of exactly the region's size whose last word is
 * not erased flash leaves a board that starts; any other file is refused
 * before anything on the flash changes. After the erase and the writes the
 * region is read back and compared, so success means it holds the file.
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
constexpr int BOOT_UPDATE_BAD_FILE = 4;     /* not a whole boot code, or unreadable: flash untouched */

/* Whether a boot code can be written: BOOT_CODE_FITS when it is exactly the
 * region's size and its last word (the reset vector) is not 0xFFFFFFFF. The
 * image tool applies the same rule. code is read only when len fits. */
constexpr int BOOT_CODE_FITS = 0;
constexpr int BOOT_CODE_WRONG_SIZE = 1;
constexpr int BOOT_CODE_NO_RESET_VECTOR = 2;
int bootCodeCheck(const uint8_t* code, uint32_t len);

int bootCodeUpdate(const char* path);

#endif
