/*
 * tffs.cpp - the flash disk's socket and flash adapters, format parameters
 * and progress, and the start-up routine that mounts "/DskVol/".
 */
#include "tffs.h"

#include "flashDev.h"

#include <cstring>

namespace {

constexpr int TFFS_DRIVE = 0;
constexpr const char* TFFS_VOLUME = "/DskVol/";
constexpr int WINDOW_BUS_WIDTH = 16;
constexpr int WINDOW_SPEED_NS = 120;
constexpr int COMPARE_CHUNK = 512;

int rfaCardDetected(vx::FlSocket*) { return 1; }
void rfaVccOn(vx::FlSocket*) {}
void rfaVccOff(vx::FlSocket*) {}
int rfaVppOn(vx::FlSocket*) { return vx::FL_OK; }
void rfaVppOff(vx::FlSocket*) {}
void rfaSetMappingContext(vx::FlSocket*, uint32_t) {}
int rfaGetAndClearCardChangeIndicator(vx::FlSocket*) { return 0; }
int rfaWriteProtected(vx::FlSocket*) { return 0; }

void rfaSetWindow(vx::FlSocket* s)
{
    const FlashDevDesc* d = flashDevDescGet();
    s->windowBase = d->fdWindowBase / vx::FL_WINDOW_UNIT;
    s->windowSize = d->fdSize / vx::FL_WINDOW_UNIT;
}

int rfaInitSocket(vx::FlSocket* s)
{
    s->cardChanged = 0;
    rfaSetWindow(s);
    return vx::FL_OK;
}

vx::FlSocket rfaSocket = {
    "RFA", 0, 0, 0, 0, 0, 0,
    rfaCardDetected, rfaVccOn, rfaVccOff, rfaVppOn, rfaVppOff,
    rfaInitSocket, rfaSetWindow, rfaSetMappingContext,
    rfaGetAndClearCardChangeIndicator, rfaWriteProtected,
};

uint32_t tffsMap(vx::FlFlash*, uint32_t address, int)
{
    return flashDevDescGet()->fdWindowBase + address;
}

/* The format parameters of every format. */
const vx::TffsDevFormatParams defaultFormatParams = {
    {
        0,                  /* boot image length */
        99,                 /* percentage of the medium used */
        1,                  /* spare units */
        0x10000,            /* virtual addressing limit */
        tffsFormatProgress, /* progress display */
        nullptr,            /* volume id */
        nullptr,            /* volume label */
        2,                  /* FAT copies */
        0,                  /* embedded CIS length */
        nullptr,            /* embedded CIS */
    },
    vx::TL_FORMAT,
};

[[noreturn]] void tffsHalt()
{
    vx::fflushStdout();
    vx::taskSuspendSelf();
}

} // namespace

int sysTffsInit()
{
    int rc = vx::tffsSocketRegister(&rfaSocket);
    if (rc != vx::FL_OK) return rc;
    return vx::tffsMtdRegister(tffsIdentify);
}

int tffsIdentify(vx::FlSocket* socket, vx::FlFlash* flash)
{
    socket->windowBusWidth = WINDOW_BUS_WIDTH;
    socket->windowSpeedNs = WINDOW_SPEED_NS;
    const FlashDevDesc* d = flashDevDescGet();
    if (d->initialised != 1 || d->fdReady != 1) {
        vx::printf("Device is not initialized yet !!\n");
        return vx::FL_UNKNOWN_MEDIA;
    }
    flash->socket = socket;
    flash->type = d->fdFlashType;
    flash->erasableBlockSize = d->fdEraseUnitSize;
    flash->chipSize = d->fdSize;
    flash->noOfChips = 1;
    flash->interleaving = int(d->fdInterleave);
    flash->map = tffsMap;
    flash->write = tffsFlashWrite;
    flash->erase = lb4gErase;
    return vx::FL_OK;
}

int tffsFlashWrite(vx::FlFlash* flash, uint32_t address, const void* buffer, int length)
{
    if (flash->socket && flash->socket->writeProtected(flash->socket)) return vx::FL_WRITE_PROTECT;
    const FlashDevDesc* d = flashDevDescGet();
    const uint32_t flashAddr = d->fdWindowBase + address;
    /* The range must lie inside the flash disk region: never in the boot code. */
    if (length < 0 || !buffer || address > d->fdSize || uint32_t(length) > d->fdSize - address ||
        flashDevWrite(flashAddr, buffer, uint32_t(length)) != 0) {
        vx::printf("\nMTD write failed, address %p, size %d\n", reinterpret_cast<void*>(uintptr_t(flashAddr)), length);
        return vx::FL_WRITE_FAULT;
    }
    const uint32_t mapped = flash->map(flash, address, length);
    const uint8_t* want = static_cast<const uint8_t*>(buffer);
    uint8_t got[COMPARE_CHUNK];
    for (int off = 0; off < length; off += COMPARE_CHUNK) {
        uint32_t n = uint32_t(length - off < COMPARE_CHUNK ? length - off : COMPARE_CHUNK);
        if (flashDevRead(mapped + uint32_t(off), got, n) != 0 || std::memcmp(got, want + off, n) != 0) {
            vx::printf("\ntffscmp() failed in MTD write, address %p, size %d\n",
                       reinterpret_cast<void*>(uintptr_t(mapped)), length);
            return vx::FL_WRITE_FAULT;
        }
    }
    return vx::FL_OK;
}

int lb4gErase(vx::FlFlash* flash, int firstUnit, int unitCount)
{
    if (flash->socket && flash->socket->writeProtected(flash->socket)) return vx::FL_WRITE_PROTECT;
    const FlashDevDesc* d = flashDevDescGet();
    const uint32_t units = d->fdEraseUnitSize ? d->fdSize / d->fdEraseUnitSize : 0;
    for (int u = firstUnit; u < firstUnit + unitCount; ++u) {
        /* Units outside the flash disk region are refused like a failed erase. */
        if (u < 0 || uint32_t(u) >= units || flashDevSectorErase(uint32_t(u) + d->fdBaseSector) != 0) {
            vx::printf("%s:flashDevSectorErase failed for block %d\n", "lb4gErase", u);
            return vx::FL_WRITE_FAULT;
        }
    }
    return vx::FL_OK;
}

int tffsFormatProgress(int unitsToFormat, int unitsDone)
{
    int percent;
    if (unitsToFormat == -1)
        percent = -(unitsDone * 100);
    else if (unitsToFormat == 0)
        return 0; /* nothing to show a share of */
    else
        percent = int(int64_t(unitsDone) * 100 / unitsToFormat);
    vx::printf("\rFormatting ... %d%%", percent);
    if (percent == 100) vx::printf("\nSetup ... ");
    vx::fflushStdout();
    return 0;
}

int tffsPPCInit()
{
    vx::TffsDevFormatParams params = defaultFormatParams;
    int rc = vx::usrTffsConfig(TFFS_DRIVE, 0, TFFS_VOLUME);
    if (rc == 0) {
        vx::printf("\n\n");
        return 0;
    }
    vx::printf("usrTffsConfig returned 0x%x, formatting...\n", rc);
    vx::fflushStdout();
    rc = vx::tffsDevFormat(TFFS_DRIVE, &params);
    if (rc != 0) {
        vx::printf("tffsDevFormat returned 0x%x\n", rc);
        tffsHalt();
    }
    rc = vx::usrTffsConfig(TFFS_DRIVE, 0, TFFS_VOLUME);
    if (rc != 0) {
        vx::printf("usrTffsConfig returned 0x%x\n", rc);
        tffsHalt();
    }
    vx::printf("\n\nTFFS Formatted....Device details...\n");
    vx::dosFsShow(TFFS_VOLUME, 1);
    vx::printf("\n\n");
    return 0;
}
