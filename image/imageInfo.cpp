/*
 * imageInfo.cpp - option 6 of the boot menu: the header of the active
 * operational code image (checksum, target, size, components, build data).
 */
#include "image/imageInfo.h"

#include <cstring>

#include "image/imageActivate.h"
#include "osapi.h"

namespace {

/* The board's %d shows 32-bit values as signed ints. */
int32_t asInt(uint32_t v) { return static_cast<int32_t>(v); }

bool isLetter(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

} // namespace

void imageHeaderReport(const ImageHeader* hdr, bool bootAlways)
{
    const ComponentRecord& op = hdr->components[0];
    const ComponentRecord& boot = hdr->components[1];

    vx::printf("CRC............................................0x%x (%d)\n", hdr->crc, hdr->crc);
    vx::printf("Target Device..................................0x%08x\n", hdr->targetDevice);
    vx::printf("Size...........................................0x%x (%d)\n", hdr->size, asInt(hdr->size));
    vx::printf("Number of Components...........................%d\n\n", asInt(hdr->numComponents));

    vx::printf("Operational Code Size..........................0x%x (%d)\n", op.size, asInt(op.size));
    vx::printf("Operational Code Offset........................0x%x (%d)\n", op.offset, asInt(op.offset));
    vx::printf("Operational Code FLASH flag....................%d\n", asInt(op.flashFlag));
    vx::printf("Operational Code CRC...........................0x%X\n\n", op.crc);

    if (bootAlways || boot.size != 0) {
        vx::printf("Boot Code Version..............................%d\n", asInt(boot.version));
        vx::printf("Boot Code Size.................................0x%x (%d)\n", boot.size, asInt(boot.size));
        vx::printf("Boot Code Offset...............................0x%x (%d)\n", boot.offset, asInt(boot.offset));
        vx::printf("Boot Code FLASH flag...........................%d\n", asInt(boot.flashFlag));
        vx::printf("Boot Code CRC..................................0x%X\n\n", boot.crc);
    }

    if (isLetter(hdr->rel))
        vx::printf("VPD - rel %c ", hdr->rel);
    else
        vx::printf("VPD - rel %u ", hdr->rel);
    vx::printf("ver %u maint_lvl %u ", hdr->ver, hdr->maint_lvl);
    if (hdr->build_num != 0)
        vx::printf("build_num %u\n", hdr->build_num);
    else
        vx::printf("\n");
    vx::printf("      Timestamp - %s\n      File - %s\n", hdr->timestamp, hdr->file);
}

int imageInfoShow()
{
    char name[BOOT_IMAGE_NAME_LEN];
    imageActiveNameGet(name, false);
    ImageHeader hdr;
    std::memset(&hdr, 0, sizeof hdr);
    /* The reader says why a header cannot be read; no report of nothing. */
    if (readImageHeader(name, &hdr) != 0)
        return -1;
    vx::printf("\n\n\nThe following image is in the Flash File System:\n\n");
    vx::printf("File Name......................................%s\n", name);
    imageHeaderReport(&hdr, false);
    return 0;
}
