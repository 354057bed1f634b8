/*
 * bootCodeUpdate.cpp - replacing the boot code in the boot region of the NOR flash.
 */
#include "bootCodeUpdate.h"

#include "bsp/cpu/tarn8541/vxworks/mpc85xx/flashDev.h"
#include "bsp/cpu/tarn8541/vxworks/start/flashAccessLock.h"
#include "osapi.h"

#include <cstring>

namespace {

/* Reads the whole boot code file into a pool buffer. Returns the buffer (its
 * length in len) or nullptr after saying why the file cannot be used. */
uint8_t* bootCodeRead(int fd, const char* path, uint32_t& len)
{
    vx::Stat st{};
    if (vx::fstat(fd, &st) != vx::OK) {
        vx::printf("Could not read boot code file %s.\n", path);
        return nullptr;
    }
    len = st.size;
    if (bootCodeCheck(nullptr, len) == BOOT_CODE_WRONG_SIZE) {
        vx::printf("Boot code file %s is %u bytes; a boot code fills the boot flash's %u bytes (0x%x) exactly, "
                   "ending in the reset vector. The boot flash is left as it is.\n",
                   path, len, BOOT_FLASH_SIZE, BOOT_FLASH_SIZE);
        return nullptr;
    }
    uint8_t* buf = static_cast<uint8_t*>(vx::malloc(len));
    if (!buf) {
        vx::printf("Not enough memory to read boot code file %s (%u bytes).\n", path, len);
        return nullptr;
    }
    for (uint32_t off = 0; off < len;) {
        uint32_t want = len - off < BOOT_UPDATE_PIECE ? len - off : BOOT_UPDATE_PIECE;
        int32_t got = vx::read(fd, buf + off, want);
        if (got != int32_t(want)) {
            vx::printf("Could not read boot code file %s (%u of %u bytes read).\n", path, off + (got > 0 ? got : 0),
                       len);
            vx::free(buf);
            return nullptr;
        }
        off += want;
    }
    if (bootCodeCheck(buf, len) != BOOT_CODE_FITS) {
        vx::printf("Boot code file %s ends in 0xFFFFFFFF, erased flash where the reset vector belongs. "
                   "The boot flash is left as it is.\n", path);
        vx::free(buf);
        return nullptr;
    }
    return buf;
}

/* Compares the boot region with the file followed by erased flash. */
int bootCodeVerify(const uint8_t* code, uint32_t len)
{
    uint8_t got[BOOT_UPDATE_PIECE];
    for (uint32_t off = 0; off < BOOT_FLASH_SIZE; off += BOOT_UPDATE_PIECE) {
        if (flashDevRead(BOOT_FLASH_START + off, got, BOOT_UPDATE_PIECE) != 0) {
            vx::printf("Boot flash read-back failed at address 0x%x\n", BOOT_FLASH_START + off);
            return -1;
        }
        for (uint32_t i = 0; i < BOOT_UPDATE_PIECE; ++i) {
            uint8_t want = off + i < len ? code[off + i] : 0xFF;
            if (got[i] != want) {
                vx::printf("Boot flash verify FAILED at address 0x%x: 0x%02x, expected 0x%02x\n",
                           BOOT_FLASH_START + off + i, got[i], want);
                return -1;
            }
        }
    }
    return 0;
}

} // namespace

int bootCodeCheck(const uint8_t* code, uint32_t len)
{
    if (len != BOOT_FLASH_SIZE)
        return BOOT_CODE_WRONG_SIZE;
    if (code == nullptr)
        return BOOT_CODE_FITS; /* the size alone was asked */
    const uint8_t* v = code + len - 4;
    return v[0] == 0xFF && v[1] == 0xFF && v[2] == 0xFF && v[3] == 0xFF ? BOOT_CODE_NO_RESET_VECTOR : BOOT_CODE_FITS;
}

int bootCodeUpdate(const char* path)
{
    int fd = vx::open(path, vx::RDONLY, 0);
    if (fd < 0) return BOOT_UPDATE_NO_FILE;
    uint32_t len = 0;
    uint8_t* code = bootCodeRead(fd, path, len);
    vx::close(fd);
    if (!code) return BOOT_UPDATE_BAD_FILE;

    flashAccessLockTake();
    vx::printf("Erasing Boot Flash.....");
    vx::fflushStdout();
    if (Flash_Erase(BOOT_FLASH_START, BOOT_FLASH_END) != 0) {
        vx::printf("\nBoot Flash erase FAILURE. \n");
        flashAccessLockGive();
        vx::free(code);
        return BOOT_UPDATE_ERASE_FAILED;
    }
    vx::printf("Done.\n");

    int result = BOOT_UPDATE_OK;
    for (uint32_t off = 0; off < len;) {
        uint32_t n = len - off < BOOT_UPDATE_PIECE ? len - off : BOOT_UPDATE_PIECE;
        if (Flash_Write_Block(code + off, BOOT_FLASH_START + off, n) != 0) {
            result = BOOT_UPDATE_WRITE_FAILED; /* the region is not the file: stop here */
            break;
        }
        off += n;
        if (off % BOOT_UPDATE_PROGRESS == 0) {
            vx::printf("Wrote 0x%x bytes.\n", off);
            vx::fflushStdout();
        }
    }
    if (result == BOOT_UPDATE_OK && bootCodeVerify(code, len) != 0) result = BOOT_UPDATE_WRITE_FAILED;
    flashAccessLockGive();
    vx::free(code);
    return result;
}
