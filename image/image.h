/*
 * image.h - the operational code image format: the 1220-byte image header,
 * the STK container, the 16-bit image checksum and the validity rules.
 */
#ifndef IMAGE_H
#define IMAGE_H

#include <cstddef>
#include <cstdint>

constexpr uint32_t BOARD_TARGET_DEVICE = 0x00508541u;
constexpr uint32_t IMAGE_HEADER_SIZE = 1220;
constexpr uint32_t IMAGE_MAX_SIZE = 0x01000000u; /* 16 MiB */
constexpr int IMAGE_MAX_COMPONENTS = 16;
constexpr uint16_t STK_MAGIC1 = 0xAA55;
constexpr uint32_t STK_MAGIC2 = 0x2288BB66u;
constexpr uint32_t STK_FIXED_SIZE = 88;
constexpr uint32_t STK_ENTRY_SIZE = 28;
constexpr uint32_t STK_HEADER_BUF_SIZE = 316; /* fixed part and 8 entries */

/* One component slot, decoded from its 48 big-endian bytes. */
struct ComponentRecord {
    uint16_t crc;
    uint32_t version;
    uint32_t size;
    uint32_t offset;      /* from the end of the header; absolute once read */
    uint32_t loadAddress;
    uint32_t flashFlag;
};

/* The image header, decoded from its 1220 big-endian bytes. The text fields are
 * always NUL-terminated in this form, whatever the file holds. */
struct ImageHeader {
    uint16_t crc;
    uint16_t reserved;
    uint32_t targetDevice;
    uint32_t size;
    uint32_t numComponents;
    ComponentRecord components[IMAGE_MAX_COMPONENTS];
    uint8_t rel;
    uint8_t ver;
    uint8_t maint_lvl;
    uint8_t build_num;
    char timestamp[33];
    char file[401];
};

/* Checksum */
void crcTableInit();
void crcUpdate(uint8_t byte, uint16_t* reg);
uint16_t imageCrc16(const uint8_t* data, uint32_t len); /* table rebuilt, register from 0 */
uint16_t fileCrc(const char* path, uint32_t length);

/* Length covered by a file's checksum, from its first 16 bytes. */
uint32_t checksumLength(const uint8_t first16[16]);
/* Rule 2: 1220 <= size <= 16 MiB, one unsigned comparison. */
bool imageSizeValid(uint32_t size);

/* Decode/encode a header from/to its 1220 file bytes. */
void imageHeaderDecode(const uint8_t* raw, ImageHeader* hdr);
void imageHeaderEncode(const ImageHeader* hdr, uint8_t* raw);

/* Reads until n bytes are in buf or the file ends: the count read, or -1. */
int32_t imageReadFull(int fd, uint8_t* buf, uint32_t n);
/* Length of a text of at most max characters (a stored field may lack its NUL). */
size_t imageTextLen(const char* text, size_t max);

/* Fills *hdr from a plain image or from this board's image inside an STK.
 * Returns 0, or -1 after a console message (hdr left as it was). */
int readImageHeader(const char* path, ImageHeader* hdr);

#endif
