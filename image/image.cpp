/*
 * image.cpp - the operational code image format: the 16-bit image checksum,
 * the big-endian header layout, the validity rules and the header reader that
 * picks this board's image out of an STK container.
 */
#include "image/image.h"

#include <cstring>

#include "osapi.h"

namespace {

constexpr uint16_t CRC_POLY = 0xA097;

/* Header layout (offsets in the 1220 file bytes). */
constexpr uint32_t HDR_CRC = 0;
constexpr uint32_t HDR_RESERVED = 2;
constexpr uint32_t HDR_TARGET = 4;
constexpr uint32_t HDR_SIZE = 8;
constexpr uint32_t HDR_NUM_COMPONENTS = 12;
constexpr uint32_t HDR_COMPONENTS = 16;
constexpr uint32_t COMPONENT_SIZE = 48;
constexpr uint32_t HDR_REL = 784;
constexpr uint32_t HDR_VER = 785;
constexpr uint32_t HDR_MAINT = 786;
constexpr uint32_t HDR_BUILD = 787;
constexpr uint32_t HDR_TIMESTAMP = 788;
constexpr uint32_t TIMESTAMP_LEN = 32;
constexpr uint32_t HDR_FILE = 820;
constexpr uint32_t FILE_LEN = IMAGE_HEADER_SIZE - HDR_FILE; /* 400 */

/* Component record layout. */
constexpr uint32_t COMP_CRC = 0;
constexpr uint32_t COMP_VERSION = 8;
constexpr uint32_t COMP_SIZE = 12;
constexpr uint32_t COMP_OFFSET = 16;
constexpr uint32_t COMP_LOAD = 20;
constexpr uint32_t COMP_FLASH = 28;

/* STK container layout. */
constexpr uint32_t STK_MAGIC1_OFF = 2;
constexpr uint32_t STK_MAGIC2_OFF = 4;
constexpr uint32_t STK_COUNT_OFF = 8;
constexpr uint32_t STK_TOTAL_OFF = 12;
constexpr uint32_t STK_HDRLEN_OFF = 20;
constexpr uint32_t STK_MAX_ENTRIES = (STK_HEADER_BUF_SIZE - STK_FIXED_SIZE) / STK_ENTRY_SIZE;

constexpr uint32_t FILE_CRC_CHUNK = 128;
constexpr uint32_t FILE_CRC_PAUSE_EVERY = 1000;
/* The chunks from one pause to the next, read at once. */
uint8_t fileCrcBlock[FILE_CRC_CHUNK * FILE_CRC_PAUSE_EVERY];

/* The shared table of the checksum (rebuilt by crcTableInit for every run). */
uint16_t crcTable[256];

/* Slicing tables: crcSlice[k][v] is v * x^(8*(k+2)) reduced by the polynomial,
 * so eight message bytes and the 16-bit register fold in one step. They depend
 * on the polynomial only and are built once. */
constexpr int SLICE_BYTES = 8;
uint16_t crcSlice[SLICE_BYTES][256];
bool crcSliceReady = false;

uint16_t get16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t get32(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

/* Copies a text field of cap bytes that may lack its NUL; dst holds cap + 1. */
void textFieldDecode(const uint8_t* src, uint32_t cap, char* dst)
{
    uint32_t n = 0;
    while (n < cap && src[n] != 0)
        n++;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

void textFieldEncode(const char* src, uint32_t cap, uint8_t* dst)
{
    std::memset(dst, 0, cap);
    uint32_t n = 0;
    while (n < cap && src[n] != '\0')
        n++;
    std::memcpy(dst, src, n);
}

void crcSliceInit()
{
    if (crcSliceReady)
        return;
    /* Row 0: v * x^16, the classic table. Each next row multiplies by x^8. */
    for (int v = 0; v < 256; v++) {
        uint16_t r = static_cast<uint16_t>(v << 8);
        for (int bit = 0; bit < 8; bit++)
            r = static_cast<uint16_t>((r & 0x8000) ? (r << 1) ^ CRC_POLY : r << 1);
        crcSlice[0][v] = r;
    }
    for (int k = 1; k < SLICE_BYTES; k++) {
        for (int v = 0; v < 256; v++) {
            uint16_t prev = crcSlice[k - 1][v];
            crcSlice[k][v] = static_cast<uint16_t>((prev << 8) ^ crcSlice[0][prev >> 8]);
        }
    }
    crcSliceReady = true;
}

/* Feeds len bytes into the register: the register is the message so far
 * reduced by the polynomial, each byte entering at the low end. Eight bytes a
 * step through the slicing tables, the rest one by one through crcTable. */
uint16_t crcFeed(uint16_t reg, const uint8_t* p, uint32_t len)
{
    while (len >= SLICE_BYTES) {
        /* reg * x^64 + b0 * x^56 + ... + b7: terms of degree 16 and above
         * reduce through the tables; b6 * x^8 + b7 fit the register as they are. */
        reg = static_cast<uint16_t>(crcSlice[7][reg >> 8] ^ crcSlice[6][reg & 0xFF] ^
                                    crcSlice[5][p[0]] ^ crcSlice[4][p[1]] ^ crcSlice[3][p[2]] ^
                                    crcSlice[2][p[3]] ^ crcSlice[1][p[4]] ^ crcSlice[0][p[5]] ^
                                    (p[6] << 8) ^ p[7]);
        p += SLICE_BYTES;
        len -= SLICE_BYTES;
    }
    while (len-- > 0)
        reg = static_cast<uint16_t>((reg << 8) ^ crcTable[reg >> 8] ^ *p++);
    return reg;
}

} // namespace

void crcTableInit()
{
    for (int i = 0; i < 256; i++) {
        uint16_t reg = 0;
        uint16_t data = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; bit++) {
            bool xorPoly = ((reg ^ data) & 0x8000) != 0;
            reg = static_cast<uint16_t>(reg << 1);
            if (xorPoly)
                reg ^= CRC_POLY;
            data = static_cast<uint16_t>(data << 1);
        }
        crcTable[i] = reg;
    }
}

void crcUpdate(uint8_t byte, uint16_t* reg)
{
    *reg = static_cast<uint16_t>((*reg << 8) ^ crcTable[*reg >> 8] ^ byte);
}

uint16_t imageCrc16(const uint8_t* data, uint32_t len)
{
    crcTableInit();
    crcSliceInit();
    return crcFeed(0, data, len);
}

/* The checksum runs in 128-byte chunks with a pause before every 1000th. A
 * read per chunk costs more than the checksum of its bytes, so the chunks up
 * to the next pause are read at once: a whole read gives the bytes, and the
 * stop, of those chunks read one by one. A short or failed one is read again
 * chunk by chunk, so the stop and the bytes stay those of the chunks. */
uint16_t fileCrc(const char* path, uint32_t length)
{
    crcTableInit();
    crcSliceInit();
    int fd = vx::open(path, vx::RDONLY, 0);
    if (fd < 0)
        return 1;

    uint8_t chunk[FILE_CRC_CHUNK];
    imageReadFull(fd, chunk, 2); /* the stored checksum */

    uint16_t reg = 0;
    uint32_t pos = 2;
    bool more = pos < length;
    while (more) {
        vx::taskDelay(1); /* before every 1000th chunk */
        uint32_t left = length - pos;
        uint32_t chunks = left / FILE_CRC_CHUNK + (left % FILE_CRC_CHUNK != 0 ? 1 : 0);
        if (chunks > FILE_CRC_PAUSE_EVERY)
            chunks = FILE_CRC_PAUSE_EVERY;
        uint32_t want = chunks * FILE_CRC_CHUNK;
        int32_t at = vx::lseek(fd, 0, vx::SEEK_FROM_CUR);
        int32_t got = at >= 0 ? vx::read(fd, fileCrcBlock, want) : -1;
        if (got == static_cast<int32_t>(want)) {
            uint32_t use = want < left ? want : left;
            reg = crcFeed(reg, fileCrcBlock, use);
            pos += use;
            more = pos < length;
            continue;
        }
        if (at >= 0 && vx::lseek(fd, at, vx::SEEK_FROM_START) != at)
            break;
        for (uint32_t n = 0; n < chunks && more; n++) {
            got = vx::read(fd, chunk, FILE_CRC_CHUNK);
            if (got < 0)
                got = 0;
            uint32_t use = static_cast<uint32_t>(got);
            if (use > length - pos)
                use = length - pos;
            reg = crcFeed(reg, chunk, use);
            pos += use;
            more = pos < length && static_cast<uint32_t>(got) == FILE_CRC_CHUNK;
        }
    }
    vx::close(fd);
    return reg;
}

uint32_t checksumLength(const uint8_t first16[16])
{
    if (get16(first16 + STK_MAGIC1_OFF) == STK_MAGIC1 && get32(first16 + STK_MAGIC2_OFF) == STK_MAGIC2)
        return get32(first16 + STK_TOTAL_OFF);
    return get32(first16 + HDR_SIZE);
}

bool imageSizeValid(uint32_t size)
{
    return size - IMAGE_HEADER_SIZE <= IMAGE_MAX_SIZE - IMAGE_HEADER_SIZE;
}

void imageHeaderDecode(const uint8_t* raw, ImageHeader* hdr)
{
    hdr->crc = get16(raw + HDR_CRC);
    hdr->reserved = get16(raw + HDR_RESERVED);
    hdr->targetDevice = get32(raw + HDR_TARGET);
    hdr->size = get32(raw + HDR_SIZE);
    hdr->numComponents = get32(raw + HDR_NUM_COMPONENTS);
    for (int i = 0; i < IMAGE_MAX_COMPONENTS; i++) {
        const uint8_t* c = raw + HDR_COMPONENTS + COMPONENT_SIZE * i;
        ComponentRecord* rec = &hdr->components[i];
        rec->crc = get16(c + COMP_CRC);
        rec->version = get32(c + COMP_VERSION);
        rec->size = get32(c + COMP_SIZE);
        rec->offset = get32(c + COMP_OFFSET);
        rec->loadAddress = get32(c + COMP_LOAD);
        rec->flashFlag = get32(c + COMP_FLASH);
    }
    hdr->rel = raw[HDR_REL];
    hdr->ver = raw[HDR_VER];
    hdr->maint_lvl = raw[HDR_MAINT];
    hdr->build_num = raw[HDR_BUILD];
    textFieldDecode(raw + HDR_TIMESTAMP, TIMESTAMP_LEN, hdr->timestamp);
    textFieldDecode(raw + HDR_FILE, FILE_LEN, hdr->file);
}

void imageHeaderEncode(const ImageHeader* hdr, uint8_t* raw)
{
    std::memset(raw, 0, IMAGE_HEADER_SIZE);
    put16(raw + HDR_CRC, hdr->crc);
    put16(raw + HDR_RESERVED, hdr->reserved);
    put32(raw + HDR_TARGET, hdr->targetDevice);
    put32(raw + HDR_SIZE, hdr->size);
    put32(raw + HDR_NUM_COMPONENTS, hdr->numComponents);
    for (int i = 0; i < IMAGE_MAX_COMPONENTS; i++) {
        uint8_t* c = raw + HDR_COMPONENTS + COMPONENT_SIZE * i;
        const ComponentRecord* rec = &hdr->components[i];
        put16(c + COMP_CRC, rec->crc);
        put32(c + COMP_VERSION, rec->version);
        put32(c + COMP_SIZE, rec->size);
        put32(c + COMP_OFFSET, rec->offset);
        put32(c + COMP_LOAD, rec->loadAddress);
        put32(c + COMP_FLASH, rec->flashFlag);
    }
    raw[HDR_REL] = hdr->rel;
    raw[HDR_VER] = hdr->ver;
    raw[HDR_MAINT] = hdr->maint_lvl;
    raw[HDR_BUILD] = hdr->build_num;
    textFieldEncode(hdr->timestamp, TIMESTAMP_LEN, raw + HDR_TIMESTAMP);
    textFieldEncode(hdr->file, FILE_LEN, raw + HDR_FILE);
}

bool stkIsContainer(const uint8_t first8[8])
{
    return get16(first8 + STK_MAGIC1_OFF) == STK_MAGIC1 && get32(first8 + STK_MAGIC2_OFF) == STK_MAGIC2;
}

uint32_t stkEntryCount(const uint8_t* stk) { return get32(stk + STK_COUNT_OFF); }
uint32_t stkHeaderLength(const uint8_t* stk) { return get32(stk + STK_HDRLEN_OFF); }
uint32_t stkTotalLength(const uint8_t* stk) { return get32(stk + STK_TOTAL_OFF); }

void stkEntryGet(const uint8_t* stk, uint32_t i, uint32_t* imageOffset, uint32_t* target)
{
    const uint8_t* entry = stk + STK_FIXED_SIZE + STK_ENTRY_SIZE * i;
    *imageOffset = get32(entry);
    *target = get32(entry + 4);
}

int stkDirectoryCheck(const uint8_t fixed[STK_FIXED_SIZE])
{
    /* The directory must fit the 316-byte header buffer (8 entries) and the
     * header length must cover every entry it claims. */
    uint32_t entryCount = stkEntryCount(fixed);
    uint32_t headerLength = stkHeaderLength(fixed);
    if (entryCount > STK_MAX_ENTRIES || headerLength > STK_HEADER_BUF_SIZE ||
        headerLength < STK_FIXED_SIZE + STK_ENTRY_SIZE * entryCount)
        return IMAGE_LOCATE_STK_INVALID;
    return IMAGE_LOCATE_OK;
}

int stkImageSelect(const uint8_t* stk, uint32_t target, uint32_t* base)
{
    uint32_t entryCount = stkEntryCount(stk);
    if (entryCount == 0)
        return IMAGE_LOCATE_STK_EMPTY;
    for (uint32_t i = 0; i < entryCount; i++) {
        uint32_t offset, entryTarget;
        stkEntryGet(stk, i, &offset, &entryTarget);
        if (entryTarget == target) {
            *base = offset;
            return IMAGE_LOCATE_OK;
        }
    }
    return IMAGE_LOCATE_STK_NO_MATCH;
}

void stkHeaderEncode(uint32_t count, const uint32_t* imageOffsets, const uint32_t* targets,
                     uint32_t totalLength, uint8_t* out)
{
    uint32_t headerLength = STK_FIXED_SIZE + STK_ENTRY_SIZE * count;
    std::memset(out, 0, headerLength);
    put16(out + STK_MAGIC1_OFF, STK_MAGIC1);
    put32(out + STK_MAGIC2_OFF, STK_MAGIC2);
    put32(out + STK_COUNT_OFF, count);
    put32(out + STK_TOTAL_OFF, totalLength);
    put32(out + STK_HDRLEN_OFF, headerLength);
    for (uint32_t i = 0; i < count; i++) {
        uint8_t* entry = out + STK_FIXED_SIZE + STK_ENTRY_SIZE * i;
        put32(entry, imageOffsets[i]);
        put32(entry + 4, targets[i]);
    }
}

void imageHeaderResolve(const uint8_t* raw, uint32_t base, ImageHeader* hdr)
{
    imageHeaderDecode(raw, hdr);
    /* Offsets become file positions; only the 16 slots of the header exist.
     * The boot code slot counts whenever it has a size, in use or not. A
     * position past 4 GiB stays past every file instead of wrapping into it. */
    uint32_t slots = hdr->numComponents < IMAGE_MAX_COMPONENTS ? hdr->numComponents : IMAGE_MAX_COMPONENTS;
    for (uint32_t i = 0; i < IMAGE_MAX_COMPONENTS; i++) {
        uint32_t& offset = hdr->components[i].offset;
        if (i < slots || (i == 1 && hdr->components[1].size != 0))
            offset = offset > UINT32_MAX - base ? UINT32_MAX : offset + base;
    }
}

int imageHeaderParse(const uint8_t* file, uint32_t len, uint32_t target, ImageHeader* hdr, uint32_t* base)
{
    if (len < STK_FIXED_SIZE)
        return IMAGE_LOCATE_SHORT;
    uint32_t pos = 0;
    if (stkIsContainer(file)) {
        int rc = stkDirectoryCheck(file);
        if (rc != IMAGE_LOCATE_OK)
            return rc;
        if (len < stkHeaderLength(file))
            return IMAGE_LOCATE_SHORT;
        rc = stkImageSelect(file, target, &pos);
        if (rc != IMAGE_LOCATE_OK)
            return rc;
    }
    /* A whole header must be there. */
    if (pos > len || len - pos < IMAGE_HEADER_SIZE)
        return IMAGE_LOCATE_SHORT;
    imageHeaderResolve(file + pos, pos, hdr);
    if (base != nullptr)
        *base = pos;
    return IMAGE_LOCATE_OK;
}

int imageVetBuffer(const uint8_t* file, uint32_t len, uint32_t target, ImageVet* vet)
{
    std::memset(vet, 0, sizeof *vet);
    uint8_t first16[16] = {};
    std::memcpy(first16, file, len < 16 ? len : 16);
    vet->stored = get16(first16);
    vet->length = checksumLength(first16);
    if (!imageSizeValid(vet->length))
        return vet->result = IMAGE_VET_LENGTH;
    if (len < vet->length)
        return vet->result = IMAGE_VET_SHORT;
    vet->computed = imageCrc16(file + 2, vet->length - 2);
    if (vet->computed != vet->stored)
        return vet->result = IMAGE_VET_CRC;
    vet->locate = imageHeaderParse(file, len, target, &vet->hdr, &vet->base);
    if (vet->locate != IMAGE_LOCATE_OK)
        return vet->result = IMAGE_VET_LOCATE;
    if (!imageSizeValid(vet->hdr.size))
        return vet->result = IMAGE_VET_SIZE;
    if (vet->hdr.targetDevice != target)
        return vet->result = IMAGE_VET_TARGET;
    return vet->result = IMAGE_VET_OK;
}

namespace {

/* Reads the header of the open file into *hdr: 0, or -1 after a message. */
int imageHeaderLoad(int fd, const char* path, ImageHeader* hdr)
{
    uint8_t raw[IMAGE_HEADER_SIZE];
    if (imageReadFull(fd, raw, STK_FIXED_SIZE) != static_cast<int32_t>(STK_FIXED_SIZE)) {
        vx::printf("Incomplete file %s\n", path);
        return -1;
    }

    uint32_t base = 0;
    if (stkIsContainer(raw)) {
        if (stkDirectoryCheck(raw) != IMAGE_LOCATE_OK) {
            vx::printf("Invalid STK header in %s: %u entries, header length %u\n", path,
                       static_cast<unsigned>(stkEntryCount(raw)), static_cast<unsigned>(stkHeaderLength(raw)));
            return -1;
        }
        uint8_t stk[STK_HEADER_BUF_SIZE];
        uint32_t headerLength = stkHeaderLength(raw);
        if (vx::lseek(fd, 0, vx::SEEK_FROM_START) != 0 ||
            imageReadFull(fd, stk, headerLength) != static_cast<int32_t>(headerLength)) {
            vx::printf("Incomplete file %s\n", path);
            return -1;
        }
        int rc = stkImageSelect(stk, BOARD_TARGET_DEVICE, &base);
        if (rc == IMAGE_LOCATE_STK_EMPTY) {
            vx::printf(" Empty STK file \n");
            return -1;
        }
        if (rc != IMAGE_LOCATE_OK) {
            vx::printf(" No matching OPR files inside the STK file \n");
            return -1;
        }
    }

    /* A whole header must be there: an image offset near or past the end of
     * the file must not leave stale bytes in the header. */
    if (base > 0x7FFFFFFFu ||
        vx::lseek(fd, static_cast<int32_t>(base), vx::SEEK_FROM_START) != static_cast<int32_t>(base) ||
        imageReadFull(fd, raw, IMAGE_HEADER_SIZE) != static_cast<int32_t>(IMAGE_HEADER_SIZE)) {
        vx::printf("Incomplete file %s\n", path);
        return -1;
    }
    imageHeaderResolve(raw, base, hdr);
    return 0;
}

} // namespace

int readImageHeader(const char* path, ImageHeader* hdr)
{
    int fd = vx::open(path, vx::RDWR, 0);
    if (fd < 0) {
        vx::printf("Error opening the image file %s \n", path);
        return -1;
    }
    ImageHeader tmp;
    int rc = imageHeaderLoad(fd, path, &tmp);
    vx::close(fd);
    if (rc == 0)
        *hdr = tmp;
    return rc;
}

int32_t imageReadFull(int fd, uint8_t* buf, uint32_t n)
{
    uint32_t got = 0;
    while (got < n) {
        int32_t r = vx::read(fd, buf + got, n - got);
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += static_cast<uint32_t>(r);
    }
    return static_cast<int32_t>(got);
}

size_t imageTextLen(const char* text, size_t max)
{
    size_t n = 0;
    while (n < max && text[n] != '\0')
        n++;
    return n;
}
