/*
 * flashDev.h - the CFI NOR boot flash driver: identification and geometry
 * from the CFI query, word and write-buffer programming, sector erase and
 * status polling, and the two wrappers the boot code update and the format
 * utility use.
 *
 * The device sits on a 16-bit bus from FLASH_BASE to the top of the address
 * space; the flash disk takes its lower part, the boot code its top megabyte.
 * All operations return 0 or -1 (after printing what failed) and leave the
 * device in read-array mode. Each program or erase command sequence holds the
 * driver's own lock, so boot code writes and flash disk writes never
 * interleave on the chip; the lock is taken by nothing else and never held
 * while anything outside the driver runs.
 */
#ifndef FLASH_DEV_H
#define FLASH_DEV_H

#include <cstdint>

constexpr uint32_t FLASH_BASE = 0xFE000000u;
constexpr uint32_t FLASH_BOOT_RESERVE = 0x200000u; /* top of the chip kept from the flash disk */
constexpr int FLASH_MAX_REGIONS = 4;               /* erase regions the query table describes */
constexpr uint32_t FLASH_STATUS_POLLS = 0x1000000u;

/* Operation codes of the status check */
constexpr int FLASH_OP_BUFFER = 1;
constexpr int FLASH_OP_WORD = 2;
constexpr int FLASH_OP_ERASE = 3;

struct FlashRegion {
    uint32_t sectorCount;
    uint32_t sectorSize;
    uint32_t firstAddr;
    uint32_t lastAddr;
    uint32_t firstSector;
    uint32_t lastSector;
};

struct FlashDevDesc {
    uint32_t initialised;
    uint32_t deviceId;
    uint32_t chipSize;
    uint32_t bufferSize;
    uint32_t regionCount;
    FlashRegion regions[FLASH_MAX_REGIONS];
    /* For the flash disk */
    uint32_t fdFlashType;
    uint32_t fdInterleave;
    uint32_t fdEraseUnitSize;
    uint32_t fdSize;
    uint32_t fdBaseSector;
    uint32_t fdWindowBase;
    uint32_t fdReady;
};

/* The description filled by the probe (all zero before it). */
const FlashDevDesc* flashDevDescGet();

int flashDevProbe();
int flashDevWrite(uint32_t addr, const void* src, uint32_t size);
int flashDevErase(uint32_t addr, uint32_t size);
int flashDevSectorErase(uint32_t sector);
/* Copies size bytes of the array (read-array mode) at addr into dst. */
int flashDevRead(uint32_t addr, void* dst, uint32_t size);
int spfSectorNumGet(uint32_t addr, uint32_t* sector);
int spfSectorAdrsGet(uint32_t sector, uint32_t* addr);
int spfOpStatusCheck(int op, uint32_t addr, uint16_t expected);

/* Wrappers: print their own failure message. Flash_Write_Block returns the
 * result of the write so that a caller can tell a failed write. */
int Flash_Write_Block(const void* src, uint32_t dest, uint32_t size);
int Flash_Erase(uint32_t start, uint32_t end);

/* Write-buffer programming on (the default) or off: off programs single
 * words only (for a part whose write buffer cannot be trusted, and to
 * measure what the buffer saves). */
void flashDevBufferedWriteSet(int on);

/* Tests: forget the probe, as at power-on. */
void flashDevReset();

#endif
