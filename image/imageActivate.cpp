/*
 * imageActivate.cpp - verification of the active operational code image,
 * activation of the backup image, and the start mode kept in
 * "diag_config.cfg" (1 = diagnostics image next, 2 = operational code).
 */
#include "image/imageActivate.h"

#include <cstring>

#include "image/dim.h"
#include "image/image.h"
#include "osapi.h"

char bootImageName[BOOT_IMAGE_NAME_LEN] = "image1";

namespace {

constexpr const char* DEFAULT_IMAGE = "image1";
constexpr const char* DIAG_IMAGE_FILE = "diag_image.stk";
constexpr const char* DIAG_MODE_FILE = "diag_config.cfg";
constexpr uint32_t PEEK_LEN = 16;

/* The start mode as read from or written to the mode file; 0 = not read yet. */
uint32_t diagModeCache = 0;

/* Copies name into a buffer of cap bytes when it fits with its NUL. */
bool nameCopy(char* dst, size_t cap, const char* name)
{
    size_t n = imageTextLen(name, cap);
    if (n == 0 || n >= cap)
        return false;
    std::memcpy(dst, name, n + 1);
    return true;
}

/* The image checks: the stored checksum over the length it claims (within the
 * size bounds), then a header this board can start - a plain image, or an STK
 * with an image for this board - whose size and target hold. An image that
 * fails any of them is never accepted, so the start-up falls back to the
 * backup instead of starting code that cannot run here. 0 valid, 1 invalid. */
int imageCrcCheck(const char* name)
{
    uint8_t peek[PEEK_LEN] = {};
    int fd = vx::open(name, vx::RDONLY, 0);
    if (fd >= 0) {
        imageReadFull(fd, peek, PEEK_LEN);
        vx::close(fd);
    }
    uint16_t stored = static_cast<uint16_t>((peek[0] << 8) | peek[1]);
    uint32_t length = checksumLength(peek);
    if (!imageSizeValid(length))
        return 1;

    uint8_t* buf = static_cast<uint8_t*>(vx::malloc(length));
    if (buf == nullptr) {
        vx::printf("\nError trying to allocate mem for file %s \n", name);
        return 1;
    }
    int32_t got = -1;
    fd = vx::open(name, vx::RDWR, 0);
    if (fd >= 0) {
        got = imageReadFull(fd, buf, length);
        vx::close(fd);
    }
    /* A file shorter than the length it claims is not a whole image. */
    bool crcOk = got == static_cast<int32_t>(length) && imageCrc16(buf + 2, length - 2) == stored;
    vx::free(buf);
    if (!crcOk)
        return 1;

    ImageHeader hdr;
    if (readImageHeader(name, &hdr) != 0)
        return 1;
    if (!imageSizeValid(hdr.size)) {
        vx::printf("Image %s has an invalid size %u\n", name, static_cast<unsigned>(hdr.size));
        return 1;
    }
    if (hdr.targetDevice != BOARD_TARGET_DEVICE) {
        vx::printf("Image %s is built for target 0x%08x, not for this board\n", name,
                   static_cast<unsigned>(hdr.targetDevice));
        return 1;
    }
    return 0;
}

/* Opens the mode file for reading and writing, creating it when missing.
 * created tells which happened. -1 when neither works. */
int diagModeFileOpen(bool* created)
{
    *created = false;
    int fd = vx::open(DIAG_MODE_FILE, vx::RDWR, 0);
    if (fd >= 0)
        return fd;
    fd = vx::open(DIAG_MODE_FILE, vx::RDWR | vx::CREAT, 0);
    *created = fd >= 0;
    return fd;
}

/* Writes the mode as 4 big-endian bytes at the start of the open file. */
bool diagModeWrite(int fd, uint32_t mode)
{
    uint8_t raw[4] = {static_cast<uint8_t>(mode >> 24), static_cast<uint8_t>(mode >> 16),
                      static_cast<uint8_t>(mode >> 8), static_cast<uint8_t>(mode)};
    return vx::lseek(fd, 0, vx::SEEK_FROM_START) == 0 && vx::write(fd, raw, sizeof raw) == sizeof raw;
}

} // namespace

void imageActivateReset()
{
    diagModeCache = 0;
    std::memset(bootImageName, 0, sizeof bootImageName);
    std::memcpy(bootImageName, DEFAULT_IMAGE, std::strlen(DEFAULT_IMAGE));
}

int imageActiveNameGet(char name[BOOT_IMAGE_NAME_LEN], bool quiet)
{
    char active[DIM_NAME_LEN] = {};
    if (dimActiveImageGet(active) == 0 && nameCopy(name, BOOT_IMAGE_NAME_LEN, active))
        return 0;
    if (!quiet)
        vx::printf("ActiveImage could not be found\n");
    nameCopy(name, BOOT_IMAGE_NAME_LEN, DEFAULT_IMAGE);
    return -1;
}

int imageActiveCrcCheck()
{
    char name[BOOT_IMAGE_NAME_LEN];
    imageActiveNameGet(name, false);
    return imageCrcCheck(name);
}

int imageBackupActivate()
{
    char backup[DIM_NAME_LEN] = {};
    char name[BOOT_IMAGE_NAME_LEN];
    /* A backup name that does not fit bootImageName could not be started. */
    if (dimBackupImageGet(backup) != 0 || !nameCopy(name, sizeof name, backup)) {
        vx::printf("No Backup Image available.\n");
        return 1;
    }

    dimImageActivate(name);
    dimInitialize();

    /* Verify what the directory now names as active: that is what a start
     * would run, and it must be the backup for the activation to count. */
    char active[BOOT_IMAGE_NAME_LEN];
    if (imageActiveNameGet(active, false) != 0 || std::strcmp(active, name) != 0) {
        vx::printf("Backup image - %s could not be activated.\n", name);
        return 1;
    }
    if (imageCrcCheck(active) != 0) {
        vx::printf("Backup Image failed crc check. \n");
        return 1;
    }
    vx::printf("Backup image - %s activated.\n", name);
    std::memcpy(bootImageName, name, sizeof name);
    return 0;
}

int diagImageExists()
{
    int fd = vx::open(DIAG_IMAGE_FILE, vx::RDONLY, 0);
    if (fd < 0) {
        vx::printf("\nDiagnostic file %s does not exist\n", DIAG_IMAGE_FILE);
        return 1;
    }
    vx::close(fd);
    return 0;
}

int diagModeGet()
{
    if (diagModeCache == 0) {
        bool created = false;
        int fd = diagModeFileOpen(&created);
        if (fd < 0)
            return DIAG_MODE_OPCODE;
        if (created) {
            diagModeCache = DIAG_MODE_OPCODE;
            diagModeWrite(fd, diagModeCache);
        } else {
            uint8_t raw[4];
            if (imageReadFull(fd, raw, sizeof raw) == sizeof raw)
                diagModeCache = (static_cast<uint32_t>(raw[0]) << 24) | (static_cast<uint32_t>(raw[1]) << 16) |
                                (static_cast<uint32_t>(raw[2]) << 8) | raw[3];
            else
                diagModeCache = DIAG_MODE_OPCODE; /* a cut-short file reads as the operational code */
        }
        vx::close(fd);
    }
    return diagModeCache == DIAG_MODE_DIAG ? DIAG_MODE_DIAG : DIAG_MODE_OPCODE;
}

int diagModeSet(int mode)
{
    if (diagModeCache == static_cast<uint32_t>(mode))
        return 0;
    diagModeCache = static_cast<uint32_t>(mode);
    bool created = false;
    int fd = diagModeFileOpen(&created);
    if (fd < 0)
        return -1;
    bool ok = diagModeWrite(fd, diagModeCache);
    if (vx::close(fd) != vx::OK)
        ok = false;
    return ok ? 0 : -1;
}
