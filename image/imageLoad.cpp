/*
 * imageLoad.cpp - loading over XMODEM: the receive the three loads share,
 * and the diagnostics image.
 */
#include "image/imageLoad.h"

#include "osapi.h"
#include "xmodem/xmodem.h"

namespace {

constexpr const char* RECEIVE_FILE = "xcode.bin";
constexpr const char* DIAG_IMAGE_FILE = "diag_image.stk";
/* The stored diagnostics image while a new one takes its name. */
constexpr const char* DIAG_IMAGE_KEEP = "diag_image.old";

bool exists(const char* name)
{
    vx::Stat st;
    return vx::stat(name, &st) == 0;
}

/* Puts source under target's name. The old target is set aside first and
 * removed only once the new file has its name, so a failed rename leaves
 * the old one in place; 0 or -1. */
int replaceKeepingOld(const char* source, const char* target, const char* keep)
{
    const bool hadOld = exists(target);
    if (hadOld) {
        vx::remove(keep);
        if (vx::rename(target, keep) != 0) return -1;
    }
    if (vx::rename(source, target) != 0) {
        if (hadOld) vx::rename(keep, target);
        return -1;
    }
    if (hadOld) vx::remove(keep);
    return 0;
}

} // namespace

int imageReceive(const char* name)
{
    vx::remove(name);
    vx::printf("Ready to receive the file with XMODEM/CRC....\n");
    char command[80];
    vx::snprintf(command, sizeof command, "-cbrke %s", name);
    /* Only a file write sets the disk-full error: it names the cause of the
     * receive's "File Write Error". */
    vx::errnoSet(0);
    if (xmodem(command) != 0) {
        if (vx::errnoGet() == vx::E_NOSPC)
            vx::printf("ERROR: The flash disk is full: the file could not be stored.\n");
        vx::printf("Error while receiving file with XMODEM.\n");
        return 1;
    }
    return 0;
}

void imageDiagReplaceComplete()
{
    if (!exists(DIAG_IMAGE_KEEP)) return;
    if (exists(DIAG_IMAGE_FILE))
        vx::remove(DIAG_IMAGE_KEEP); /* the new image had its name already */
    else
        vx::rename(DIAG_IMAGE_KEEP, DIAG_IMAGE_FILE);
}

int imageDiagLoad(uint32_t /*targetDevice: not checked for diagnostics images*/)
{
    imageDiagReplaceComplete();
    if (imageReceive(RECEIVE_FILE) != 0) return 1;
    vx::printf("\n\nXMODEM transfer complete....\n");
    if (replaceKeepingOld(RECEIVE_FILE, DIAG_IMAGE_FILE, DIAG_IMAGE_KEEP) != 0) {
        vx::printf("ERROR: Renaming failed.\n");
        vx::remove(RECEIVE_FILE);
        return 1;
    }
    return 0;
}
