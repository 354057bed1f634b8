/*
 * flashDev.cpp - the CFI NOR boot flash driver.
 */
#include "flashDev.h"

#include "osapi.h"
#include "sysBus.h"

#include <cstring>

namespace {

/* Command cycles (byte offsets from the base of the 16-bit device) */
constexpr uint32_t UNLOCK_ADDR1 = 0xAAA;
constexpr uint32_t UNLOCK_ADDR2 = 0x554;
constexpr uint32_t QUERY_ADDR = 0xAA;
constexpr uint16_t CMD_UNLOCK1 = 0xAA;
constexpr uint16_t CMD_UNLOCK2 = 0x55;
constexpr uint16_t CMD_RESET = 0xF0;
constexpr uint16_t CMD_QUERY = 0x98;
constexpr uint16_t CMD_WORD_PROGRAM = 0xA0;
constexpr uint16_t CMD_BUFFER_LOAD = 0x25;
constexpr uint16_t CMD_BUFFER_CONFIRM = 0x29;
constexpr uint16_t CMD_ERASE_SETUP = 0x80;
constexpr uint16_t CMD_SECTOR_ERASE = 0x30;

/* Status bits */
constexpr uint16_t DQ7_POLL = 0x80;
constexpr uint16_t DQ5_TIMEOUT = 0x20;
constexpr uint16_t DQ1_ABORT = 0x02;

/* Query table (word addresses) */
constexpr uint32_t CFI_SIGNATURE = 0x10;
constexpr uint32_t CFI_DEVICE_SIZE = 0x27;
constexpr uint32_t CFI_BUFFER_SIZE = 0x2A;
constexpr uint32_t CFI_BUFFER_SIZE_HIGH = 0x2B;
constexpr uint32_t CFI_REGION_COUNT = 0x2C;
constexpr uint32_t CFI_REGION_TABLE = 0x2D;

FlashDevDesc flashDesc;
vx::SEM_ID flashDevLock = nullptr;
int flashBuffered = 1;

/* 16-bit device accesses; a bus error reads as 0xFFFF and is reported. */
bool busFault = false;

void flashWr(uint32_t addr, uint16_t v)
{
    if (sysBusWrite16(addr, v) != 0) busFault = true;
}

uint16_t flashRd(uint32_t addr)
{
    uint16_t v = 0xFFFF;
    if (sysBusRead16(addr, &v) != 0) {
        busFault = true;
        v = 0xFFFF;
    }
    return v;
}

void flashUnlock()
{
    flashWr(FLASH_BASE + UNLOCK_ADDR1, CMD_UNLOCK1);
    flashWr(FLASH_BASE + UNLOCK_ADDR2, CMD_UNLOCK2);
}

uint8_t cfiByte(uint32_t wordAddr) { return uint8_t(flashRd(FLASH_BASE + 2 * wordAddr)); }

void* ptrOf(uint32_t addr) { return reinterpret_cast<void*>(uintptr_t(addr)); }

bool notInitialised()
{
    if (flashDesc.initialised == 1) return false;
    vx::printf("Device is not initialized yet\n");
    return true;
}

/* First byte past the device (as 64 bits: the device ends at the top of the
 * address space). */
uint64_t deviceEnd()
{
    const FlashRegion& last = flashDesc.regions[flashDesc.regionCount - 1];
    return uint64_t(last.lastAddr) + 1;
}

bool inDevice(uint32_t addr, uint32_t size)
{
    return addr >= flashDesc.regions[0].firstAddr && uint64_t(addr) + size <= deviceEnd() &&
           uint64_t(addr) < deviceEnd();
}

/* Reads the geometry in query mode; "" or what makes it unusable. */
const char* probeGeometry(FlashDevDesc& d)
{
    uint32_t id = uint32_t(flashRd(FLASH_BASE + 2)) << 8 | (flashRd(FLASH_BASE) & 0xFFu);
    d.deviceId = id;
    uint32_t exp = cfiByte(CFI_DEVICE_SIZE);
    d.chipSize = exp < 32 ? 1u << exp : 0;
    exp = cfiByte(CFI_BUFFER_SIZE);
    d.bufferSize = exp < 32 ? 1u << exp : 0;
    (void)cfiByte(CFI_BUFFER_SIZE_HIGH);
    d.regionCount = cfiByte(CFI_REGION_COUNT);

    if (d.chipSize == 0) return "device size";
    if (uint64_t(FLASH_BASE) + d.chipSize > 0x100000000ull) return "device larger than its window";
    if (d.regionCount == 0 || d.regionCount > uint32_t(FLASH_MAX_REGIONS)) return "erase region count";

    uint64_t addr = FLASH_BASE;
    uint32_t sector = 0;
    uint32_t smallest = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < d.regionCount; ++i) {
        uint32_t t = CFI_REGION_TABLE + 4 * i;
        FlashRegion& r = d.regions[i];
        r.sectorCount = (uint32_t(cfiByte(t + 1)) << 8 | cfiByte(t)) + 1;
        r.sectorSize = (uint32_t(cfiByte(t + 3)) << 8 | cfiByte(t + 2)) * 256u;
        if (r.sectorSize == 0) return "sector size";
        uint64_t bytes = uint64_t(r.sectorCount) * r.sectorSize;
        if (addr + bytes > uint64_t(FLASH_BASE) + d.chipSize) return "erase regions larger than the device";
        r.firstAddr = uint32_t(addr);
        r.lastAddr = uint32_t(addr + bytes - 1);
        r.firstSector = sector;
        r.lastSector = sector + r.sectorCount - 1;
        addr += bytes;
        sector += r.sectorCount;
        if (r.sectorSize < smallest) smallest = r.sectorSize;
    }
    if (addr != uint64_t(FLASH_BASE) + d.chipSize) return "erase regions do not cover the device";
    if (d.bufferSize < 2 || d.bufferSize > smallest) return "write buffer size";

    /* The flash disk: the chip less its top 2 MB, in region 0's uniform
     * sectors; it never reaches the boot code. */
    const FlashRegion& r0 = d.regions[0];
    d.fdFlashType = id & 0xFFFFu;
    d.fdInterleave = 1;
    d.fdEraseUnitSize = r0.sectorSize;
    d.fdSize = d.chipSize > FLASH_BOOT_RESERVE ? d.chipSize - FLASH_BOOT_RESERVE : 0;
    d.fdBaseSector = r0.firstSector;
    d.fdWindowBase = r0.firstAddr;
    d.fdReady = d.fdSize != 0 && d.fdSize % r0.sectorSize == 0 &&
                uint64_t(r0.firstAddr) + d.fdSize <= uint64_t(r0.lastAddr) + 1;
    return "";
}

struct DriverLock {
    DriverLock() { vx::semTake(flashDevLock, vx::WAIT_FOREVER); }
    ~DriverLock() { vx::semGive(flashDevLock); }
    DriverLock(const DriverLock&) = delete;
    DriverLock& operator=(const DriverLock&) = delete;
};

} // namespace

const FlashDevDesc* flashDevDescGet() { return &flashDesc; }

void flashDevBufferedWriteSet(int on) { flashBuffered = on ? 1 : 0; }

void flashDevReset()
{
    std::memset(&flashDesc, 0, sizeof flashDesc);
    flashBuffered = 1;
    if (flashDevLock) vx::semDelete(flashDevLock);
    flashDevLock = nullptr;
}

int flashDevProbe()
{
    if (flashDesc.initialised == 1) return 0;
    busFault = false;
    flashWr(FLASH_BASE + QUERY_ADDR, CMD_QUERY);
    vx::taskDelay(1);
    if (flashRd(FLASH_BASE + 2 * CFI_SIGNATURE) != 0x51 || flashRd(FLASH_BASE + 2 * (CFI_SIGNATURE + 1)) != 0x52 ||
        flashRd(FLASH_BASE + 2 * (CFI_SIGNATURE + 2)) != 0x59) {
        flashWr(FLASH_BASE, CMD_RESET);
        vx::printf("%s: CFI query failed\n", "flashDevProbe");
        return -1;
    }
    FlashDevDesc d{};
    const char* bad = probeGeometry(d);
    flashWr(FLASH_BASE, CMD_RESET);
    if (*bad || busFault) {
        vx::printf("%s: unusable query table (%s)\n", "flashDevProbe", busFault ? "bus error" : bad);
        vx::printf("%s: CFI query failed\n", "flashDevProbe");
        return -1;
    }
    if (!flashDevLock) flashDevLock = vx::semBCreate(vx::SEM_Q_FIFO, vx::SEM_FULL);
    d.initialised = 1;
    flashDesc = d;
    return 0;
}

int spfSectorNumGet(uint32_t addr, uint32_t* sector)
{
    for (uint32_t i = 0; i < flashDesc.regionCount; ++i) {
        const FlashRegion& r = flashDesc.regions[i];
        if (addr >= r.firstAddr && addr <= r.lastAddr) {
            *sector = r.firstSector + (addr - r.firstAddr) / r.sectorSize;
            return 0;
        }
    }
    vx::printf("%s: invalid address %x\n", "spfSectorNumGet", addr);
    return -1;
}

int spfSectorAdrsGet(uint32_t sector, uint32_t* addr)
{
    for (uint32_t i = 0; i < flashDesc.regionCount; ++i) {
        const FlashRegion& r = flashDesc.regions[i];
        if (sector >= r.firstSector && sector <= r.lastSector) {
            *addr = r.firstAddr + (sector - r.firstSector) * r.sectorSize;
            return 0;
        }
    }
    vx::printf("%s: invalid sector %d\n", "spfSectorAdrsGet", int(sector));
    return -1;
}

int spfOpStatusCheck(int op, uint32_t addr, uint16_t expected)
{
    for (uint32_t poll = 0; poll < FLASH_STATUS_POLLS; ++poll) {
        uint16_t s = flashRd(addr);
        if (((s ^ expected) & DQ7_POLL) == 0) return 0;
        if (s & DQ5_TIMEOUT) {
            /* DQ7 may change in the same read as DQ5: read it again before
             * calling the operation failed. */
            s = flashRd(addr);
            if (((s ^ expected) & DQ7_POLL) == 0) return 0;
            vx::printf("%s: FAILED for operation %d at address %p\n", "spfOpStatusCheck", op, ptrOf(addr));
            flashWr(addr, CMD_RESET);
            return -1;
        }
        if (op == FLASH_OP_BUFFER && (s & DQ1_ABORT)) {
            s = flashRd(addr);
            if (((s ^ expected) & DQ7_POLL) == 0) return 0;
            vx::printf("%s: ABORT for buffer write at address %p\n", "spfOpStatusCheck", ptrOf(addr));
            flashUnlock();
            flashWr(FLASH_BASE + UNLOCK_ADDR1, CMD_RESET);
            return -1;
        }
        vx::taskDelay(0);
    }
    vx::printf("%s: TIMEOUT for operation %d at address %p\n", "spfOpStatusCheck", op, ptrOf(addr));
    flashWr(addr, CMD_RESET);
    return -1;
}

int flashDevWrite(uint32_t addr, const void* src, uint32_t size)
{
    if (notInitialised()) return -1;
    if ((addr & 1) || (size & 1) || !src || !inDevice(addr, size)) {
        vx::printf("%s: address or size error, address %x size %d\n", "flashDevWrite", addr, int32_t(size));
        return -1;
    }
    const uint8_t* p = static_cast<const uint8_t*>(src);
    const uint32_t n = size / 2;
    const uint32_t bufWords = flashDesc.bufferSize / 2;
    uint32_t done = 0;
    uint32_t cur = addr;
    while (done < n) {
        uint32_t k;
        int rc;
        busFault = false;
        {
            DriverLock lock;
            if (flashBuffered && cur % flashDesc.bufferSize == 0) {
                k = n - done < bufWords ? n - done : bufWords;
                flashUnlock();
                flashWr(cur, CMD_BUFFER_LOAD);
                flashWr(cur, uint16_t(k - 1));
                uint16_t last = 0;
                for (uint32_t i = 0; i < k; ++i) {
                    last = uint16_t(p[2 * i] << 8 | p[2 * i + 1]);
                    flashWr(cur + 2 * i, last);
                }
                flashWr(cur, CMD_BUFFER_CONFIRM);
                rc = spfOpStatusCheck(FLASH_OP_BUFFER, cur + 2 * (k - 1), last);
            } else {
                k = 1;
                uint16_t word = uint16_t(p[0] << 8 | p[1]);
                flashUnlock();
                flashWr(FLASH_BASE + UNLOCK_ADDR1, CMD_WORD_PROGRAM);
                flashWr(cur, word);
                rc = spfOpStatusCheck(FLASH_OP_WORD, cur, word);
            }
            if (rc == 0) flashWr(cur, CMD_RESET);
        }
        if (rc != 0 || busFault) {
            vx::printf("%s: spfOpStatusCheck() failed at adrs %p\n", "flashDevWrite", ptrOf(cur));
            return -1;
        }
        cur += 2 * k;
        p += 2 * k;
        done += k;
    }
    /* Back to read-array at the last word written (the address after it is
     * past the top of the address space for a write that ends there). */
    flashWr(n ? cur - 2 : cur, CMD_RESET);
    return 0;
}

int flashDevSectorErase(uint32_t sector)
{
    if (notInitialised()) return -1;
    uint32_t addr = 0;
    if (spfSectorAdrsGet(sector, &addr) != 0) {
        vx::printf("%s: spfSectorAdrsGet() failed for sector %d\n", "flashDevSectorErase", int(sector));
        return -1;
    }
    int rc;
    busFault = false;
    {
        DriverLock lock;
        flashWr(FLASH_BASE, CMD_RESET);
        flashUnlock();
        flashWr(FLASH_BASE + UNLOCK_ADDR1, CMD_ERASE_SETUP);
        flashUnlock();
        flashWr(addr, CMD_SECTOR_ERASE);
        rc = spfOpStatusCheck(FLASH_OP_ERASE, addr, 0xFFFF);
        if (rc == 0) flashWr(addr, CMD_RESET);
    }
    if (rc != 0 || busFault) {
        vx::printf("%s: spfOpStatusCheck() failed for sector %d (adrs %p) \n", "flashDevSectorErase", int(sector),
                   ptrOf(addr));
        return -1;
    }
    return 0;
}

int flashDevErase(uint32_t addr, uint32_t size)
{
    if (notInitialised()) return -1;
    uint32_t first = 0, last = 0;
    if (spfSectorNumGet(addr, &first) != 0) {
        vx::printf("%s: spfSectorNumGet() failed for address %p\n", "flashDevErase", ptrOf(addr));
        return -1;
    }
    /* The end must not wrap past the top of the address space. */
    uint32_t end = addr + size;
    if (end < addr || spfSectorNumGet(end, &last) != 0) {
        if (end < addr) vx::printf("%s: invalid address %x\n", "spfSectorNumGet", end);
        vx::printf("%s: spfSectorNumGet() failed for address %p\n", "flashDevErase", ptrOf(end));
        return -1;
    }
    for (uint32_t s = first; s <= last; ++s) {
        if (flashDevSectorErase(s) != 0) {
            vx::printf("%s: flashDevSectorErase() failed for sector %d\n", "flashDevErase", int(s));
            return -1;
        }
    }
    return 0;
}

int flashDevRead(uint32_t addr, void* dst, uint32_t size)
{
    if (notInitialised()) return -1;
    if (!dst || !inDevice(addr, size)) return -1;
    uint8_t* q = static_cast<uint8_t*>(dst);
    uint32_t i = 0;
    if ((addr & 1) == 0) {
        for (; i + 1 < size; i += 2) {
            uint16_t w = 0;
            if (sysBusRead16(addr + i, &w) != 0) return -1;
            q[i] = uint8_t(w >> 8);
            q[i + 1] = uint8_t(w);
        }
    }
    for (; i < size; ++i) {
        uint8_t b = 0;
        if (sysBusRead8(addr + i, &b) != 0) return -1;
        q[i] = b;
    }
    return 0;
}

int Flash_Write_Block(const void* src, uint32_t dest, uint32_t size)
{
    int rc = flashDevWrite(dest, src, size);
    if (rc != 0) vx::printf("%s: flashDevWrite() failed\n", "Flash_Write_Block");
    return rc;
}

int Flash_Erase(uint32_t start, uint32_t end)
{
    int rc = flashDevErase(start, end - start);
    if (rc != 0) vx::printf("%s: flashDevErase() failed\n", "Flash_Erase");
    return rc;
}
