/*
 * imageOpLoad.cpp - main menu option 4: new operational code received over
 * XMODEM into "xcode.bin", vetted, reported, installed under the active
 * image's name, and its boot code copied out into "bootcode.bin".
 *
 * Nothing stored changes before the received file has passed every check.
 * The image then replaces the old one through an aside name in one platform
 * replace, which the start-up completes when a reset cut it short, and
 * "bootcode.bin" takes the new boot code only once its image is installed.
 */
#include "image/imageLoad.h"

#include <cstring>

#include "image/dim.h"
#include "image/image.h"
#include "image/imageInfo.h"
#include "osapi.h"

namespace {

constexpr const char* BOOT_CODE_ASIDE = "bootcode.new";
constexpr const char* DEFAULT_IMAGE = "image1";

bool fileExists(const char* name)
{
    vx::Stat st{};
    return vx::stat(name, &st) == vx::OK;
}

/* Refuses the received file: it and any boot code copied from it go. */
int refuse(const char* path)
{
    vx::remove(path);
    vx::remove(BOOT_CODE_ASIDE);
    return 1;
}

/* The checksum check of a received file: its stored checksum against the one
 * over the length it names, every byte of which must have arrived. */
bool checksumMatches(const char* path, const uint8_t first16[16], uint32_t fileSize)
{
    uint32_t length = checksumLength(first16);
    uint16_t stored = static_cast<uint16_t>((first16[0] << 8) | first16[1]);
    /* A length outside the size bounds is refused by the size check next. */
    if (imageSizeValid(length) && fileSize < length)
        return false;
    return fileCrc(path, length) == stored;
}

/* What became of the boot code copy. */
enum BootCodeCopy { BOOT_CODE_COPIED, BOOT_CODE_REFUSED, BOOT_CODE_UNWRITTEN };

/* Copies the boot code component (file position 1220 + offset) into the aside
 * file. BOOT_CODE_REFUSED when the image cannot be taken (after a message);
 * BOOT_CODE_UNWRITTEN when the copy could not be written (said why, nothing
 * of it left): the image itself still stands. */
BootCodeCopy bootCodeExtract(const char* path, const ComponentRecord& boot, uint32_t imageLength)
{
    vx::printf("Extracting boot code from image...\n");
    uint64_t start = uint64_t(IMAGE_HEADER_SIZE) + boot.offset;
    if (!imageBootCodeInside(boot.size, boot.offset, imageLength)) {
        vx::printf("\nERROR: Boot code of %u bytes at file position %llu lies outside the %u bytes of the image.\n",
                   boot.size, static_cast<unsigned long long>(start), imageLength);
        return BOOT_CODE_REFUSED;
    }
    uint8_t* buf = static_cast<uint8_t*>(vx::malloc(boot.size));
    if (buf == nullptr) {
        vx::printf("\nERROR!!\nCould not allocate temporary memory buffer for Boot Code copy.!\n");
        return BOOT_CODE_REFUSED;
    }
    int fd = vx::open(path, vx::RDONLY, 0);
    if (fd < 0) {
        vx::free(buf);
        vx::printf("\n\nERROR!!\nCould not open %s file.\n\n", path);
        return BOOT_CODE_REFUSED;
    }
    bool read = vx::lseek(fd, static_cast<int32_t>(start), vx::SEEK_FROM_START) == static_cast<int32_t>(start) &&
                imageReadFull(fd, buf, boot.size) == static_cast<int32_t>(boot.size);
    vx::close(fd);
    if (!read) {
        vx::free(buf);
        vx::printf("\nERROR: Could not read the boot code from %s.\n", path);
        return BOOT_CODE_REFUSED;
    }

    bool written = false;
    int err = 0;
    fd = vx::open(BOOT_CODE_ASIDE, vx::RDWR | vx::CREAT | vx::TRUNC, 0);
    if (fd >= 0) {
        written = vx::write(fd, buf, boot.size) == static_cast<int32_t>(boot.size);
        if (!written) err = vx::errnoGet();
        written = vx::close(fd) == vx::OK && written;
    }
    if (!written && err == 0) err = vx::errnoGet();
    vx::free(buf);
    if (!written) {
        vx::remove(BOOT_CODE_ASIDE);
        vx::printf("\nERROR: Could not write the boot code into %s", BOOT_CODE_FILE);
        vx::printf(err == vx::E_NOSPC ? ": the flash disk is full.\n" : ".\n");
        return BOOT_CODE_UNWRITTEN;
    }
    return BOOT_CODE_COPIED;
}

} // namespace

bool imageBootCodeInside(uint32_t size, uint32_t offset, uint32_t imageLength)
{
    return uint64_t(IMAGE_HEADER_SIZE) + offset + size <= imageLength;
}

int imageOpCodeLoad(uint32_t targetDevice)
{
    vx::remove(BOOT_CODE_ASIDE);
    if (imageReceive(IMAGE_LOAD_FILE) != 0) return 1;
    vx::printf("\n\nXMODEM transfer complete, checking CRC....\n");
    return imageOpCodeStore(IMAGE_LOAD_FILE, targetDevice);
}

int imageOpCodeStore(const char* path, uint32_t targetDevice)
{
    int fd = vx::open(path, vx::RDWR, 0);
    if (fd < 0) {
        vx::printf("ERROR: Can't open file %s\n", path);
        return refuse(path);
    }
    uint8_t first16[16] = {};
    vx::Stat st{};
    if (imageReadFull(fd, first16, sizeof first16) < 0 || vx::fstat(fd, &st) != vx::OK) {
        vx::close(fd);
        vx::printf("ERROR: Can't read file %s\n", path);
        return 2;
    }
    vx::close(fd);

    if (!checksumMatches(path, first16, st.size)) {
        vx::printf("ERROR: Operational code CRC is not valid.\n");
        return refuse(path);
    }
    vx::printf("Verified operational code CRC.\n");

    ImageHeader hdr;
    std::memset(&hdr, 0, sizeof hdr);
    readImageHeader(path, &hdr); /* says why when it fails; the header stays zero */
    if (!imageSizeValid(hdr.size)) {
        vx::printf("ERROR: Code image size of %d bytes is invalid.\n", static_cast<int32_t>(hdr.size));
        return refuse(path);
    }
    if (hdr.targetDevice != targetDevice) {
        vx::printf("ERROR: Operational code target %x does not match this device.\n", hdr.targetDevice);
        return refuse(path);
    }
    /* A container's own length passes the same bounds, as the start-up's
     * check of the stored image demands. */
    uint32_t length = checksumLength(first16);
    if (!imageSizeValid(length)) {
        vx::printf("ERROR: Code image size of %d bytes is invalid.\n", static_cast<int32_t>(length));
        return refuse(path);
    }

    vx::printf("\n\nThe following code has been uploaded:\n\n");
    imageHeaderReport(&hdr, true);

    const ComponentRecord& boot = hdr.components[1];
    bool hasBootCode = boot.size != 0; /* whatever the component count says */
    BootCodeCopy copy = hasBootCode ? bootCodeExtract(path, boot, length) : BOOT_CODE_COPIED;
    if (copy == BOOT_CODE_REFUSED)
        return refuse(path);

    vx::printf("Storing Operational code in Flash. This may take several minutes...\n\n");
    char name[DIM_NAME_LEN];
    if (dimActiveImageGet(name) != 0) {
        vx::printf("Error obtaining active image name\n");
        std::strcpy(name, DEFAULT_IMAGE);
    }
    if (imageInstall(path, name) != 0) {
        vx::printf("ERROR: Operational code update failed.\n");
        return refuse(path);
    }

    /* The image is in place: now its boot code becomes the one option 7 writes.
     * When it cannot (not copied, or not renamed), the load still stands, and
     * no older boot code stays for option 7 to write beside the new image. */
    if (hasBootCode &&
        (copy != BOOT_CODE_COPIED || vx::renameReplace(BOOT_CODE_ASIDE, BOOT_CODE_FILE) != vx::OK)) {
        vx::remove(BOOT_CODE_FILE);
        vx::remove(BOOT_CODE_ASIDE);
        vx::printf("Operational code stored.\n");
        vx::printf("ERROR: Could not store the boot code in %s; load the image again to update the boot code.\n",
                   BOOT_CODE_FILE);
    }
    return 0;
}

int imageInstall(const char* source, const char* target)
{
    int state = 3;
    dimImageStateGet(target, &state);
    char backup[DIM_NAME_LEN] = "";
    bool dropBackup = false;
    if (state != 2) {
        /* An image the directory does not know displaces the backup, whose
         * file goes once the new image is in place. */
        dropBackup = dimBackupImageGet(backup) == 0;
        int rc = dimImageAdd(target);
        if (rc < 0) {
            vx::printf("Error adding the image %d \n", rc);
            return rc;
        }
    }

    const char* aside = dimImageAsideName(target);
    bool placed = false;
    if (aside != nullptr) {
        vx::remove(aside);
        if (vx::rename(source, aside) == vx::OK) {
            placed = vx::renameReplace(aside, target) == vx::OK;
            if (!placed) {
                /* Cut short after the old image went: finish it now; else the
                 * old image stays and the aside goes. */
                if (!fileExists(target))
                    placed = vx::rename(aside, target) == vx::OK;
                else
                    vx::remove(aside);
            }
        }
    }
    if (!placed) {
        if (state != 2)
            dimImageDelete(target); /* an image it knew keeps its entry: its file is still there */
        vx::printf(" Error renaming the file \n");
        return -1;
    }
    if (dropBackup && std::strcmp(backup, target) != 0)
        vx::remove(backup);
    return 0;
}
