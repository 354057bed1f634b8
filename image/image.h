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

/* ---- Pure forms over bytes in memory (no console, no files) --------------
 * readImageHeader and the host image tool share these, so the file reader and
 * the tool locate, decode and judge an image the same way. */

/* Why an image could not be located. */
enum ImageLocate {
    IMAGE_LOCATE_OK = 0,
    IMAGE_LOCATE_SHORT,       /* fewer bytes than a header or STK directory needs */
    IMAGE_LOCATE_STK_INVALID, /* STK directory does not fit its 316-byte buffer */
    IMAGE_LOCATE_STK_EMPTY,   /* STK with no entries */
    IMAGE_LOCATE_STK_NO_MATCH /* STK without an image for the target */
};

/* True when the first 8 bytes mark an STK container. */
bool stkIsContainer(const uint8_t first8[8]);
/* Checks an STK's fixed part (88 bytes): the directory it announces must fit
 * the header buffer. IMAGE_LOCATE_OK or IMAGE_LOCATE_STK_INVALID. */
int stkDirectoryCheck(const uint8_t fixed[STK_FIXED_SIZE]);
/* Picks the first entry for target from a checked STK header (headerLength
 * bytes): IMAGE_LOCATE_OK with *base its image's file position, or why not. */
int stkImageSelect(const uint8_t* stk, uint32_t target, uint32_t* base);
uint32_t stkEntryCount(const uint8_t* stk);
uint32_t stkHeaderLength(const uint8_t* stk);
uint32_t stkTotalLength(const uint8_t* stk);
void stkEntryGet(const uint8_t* stk, uint32_t i, uint32_t* imageOffset, uint32_t* target);
/* Writes an STK header for count images (count <= 8) into out, whose room is
 * STK_FIXED_SIZE + count * STK_ENTRY_SIZE bytes; the checksum is left 0. */
void stkHeaderEncode(uint32_t count, const uint32_t* imageOffsets, const uint32_t* targets,
                     uint32_t totalLength, uint8_t* out);

/* Decodes the 1220 header bytes of an image found at file position base and
 * makes the offsets of the components in use absolute. */
void imageHeaderResolve(const uint8_t* raw, uint32_t base, ImageHeader* hdr);

/* Locates the image for target in the first len bytes of a file and decodes
 * its header (offsets absolute). An ImageLocate value; *base may be null. */
int imageHeaderParse(const uint8_t* file, uint32_t len, uint32_t target, ImageHeader* hdr, uint32_t* base);

/* The verdict on a whole image file held in memory, by the validity rules:
 * the checksum over the length it claims (within the size bounds, and every
 * byte of it present), then a header for target whose size and target hold. */
enum ImageVetResult {
    IMAGE_VET_OK = 0,
    IMAGE_VET_LENGTH,  /* checksum length outside 1220..16 MiB */
    IMAGE_VET_SHORT,   /* file shorter than its checksum length */
    IMAGE_VET_CRC,     /* stored checksum differs */
    IMAGE_VET_LOCATE,  /* no header for target (see locate) */
    IMAGE_VET_SIZE,    /* header size fails rule 2 */
    IMAGE_VET_TARGET   /* header built for another target */
};
struct ImageVet {
    int result;
    uint32_t length;   /* checksum length */
    uint16_t stored;
    uint16_t computed; /* valid from IMAGE_VET_CRC on */
    int locate;        /* ImageLocate, valid from IMAGE_VET_LOCATE on */
    uint32_t base;     /* file position of the image located */
    ImageHeader hdr;   /* valid from IMAGE_VET_SIZE on */
};
int imageVetBuffer(const uint8_t* file, uint32_t len, uint32_t target, ImageVet* vet);

#endif
