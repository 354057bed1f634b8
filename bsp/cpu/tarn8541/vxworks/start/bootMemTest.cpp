/*
 * bootMemTest.cpp - the memory command interpreter, the RAM test and the file
 * system test of the utilities menu. Memory is reached through the bus
 * accessors, so an address no device answers is reported, not faulted on.
 */
#include "bsp/cpu/tarn8541/vxworks/start/bootMemTest.h"

#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "osapi.h"
#include "sysBus.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kCmdLineLen = 80;      /* bounded line read: 79 characters */
constexpr int kDumpWidth = 16;

constexpr uint32_t kFsBufLen = 0x1000000; /* 16 MiB: the largest image */
constexpr uint32_t kFsReadPiece = 128;
constexpr int kFsMaxReported = 20;
const char* const kFsImageName = "image1";
const char* const kFsTempName = "tempcode.bin";

/* ---- Number conversions with the board's 32-bit C library rules ---- */

int memHexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* strtoul(text, 0, 16): white space, sign, optional 0x, hex digits; an
 * out-of-range value gives 0xFFFFFFFF; a minus negates modulo 2^32. */
uint32_t memHex(const char* text)
{
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && memHexDigit(p[2]) >= 0) p += 2;
    uint64_t value = 0;
    for (int d; (d = memHexDigit(*p)) >= 0; ++p) {
        value = value * 16 + uint64_t(d);
        if (value > 0xFFFFFFFFu) return 0xFFFFFFFFu;
    }
    return negative ? uint32_t(0u - uint32_t(value)) : uint32_t(value);
}

/* strtol(text, 0, 10) clamped to the board's 32-bit long. */
int32_t memDecimal(const char* text)
{
    long long v = std::strtoll(text, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return int32_t(v);
}

bool memIsAlnum(uint8_t c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

void memBusError(uint32_t addr) { vx::printf("\nERROR: bus error at address 0x%08x\n", addr); }

/* ---- Memory commands ---- */

/* r ADDR COUNT: COUNT bytes from ADDR, 16 a line, with a character column. */
void memDump(uint32_t addr, int32_t count)
{
    char column[kDumpWidth + 1] = {};
    int headings = count < 1 ? 1 : count > kDumpWidth ? kDumpWidth : int(count);
    vx::printf("         ");
    for (int i = 0; i < headings; ++i) vx::printf("%1x  ", unsigned(i));
    for (int32_t pos = 0; pos < count; ++pos) {
        uint32_t at = addr + uint32_t(pos);
        if (pos % kDumpWidth == 0) {
            if (pos) vx::printf("%s", column);
            std::memset(column, 0, sizeof column);
            vx::printf("\n%08x ", at);
        }
        uint8_t byte;
        if (sysBusRead8(at, &byte) != 0) {
            memBusError(at);
            return;
        }
        vx::printf("%02x ", unsigned(byte));
        column[pos % kDumpWidth] = memIsAlnum(byte) ? char(byte) : '-';
    }
    if (count > 0 && count % kDumpWidth)
        for (int32_t i = count % kDumpWidth; i < kDumpWidth; ++i) vx::printf("   ");
    vx::printf("%s", column);
    vx::printf("\n");
}

/* w{b,w,l} ADDR VALUE */
void memWrite(char width, uint32_t addr, uint32_t value)
{
    int rc;
    switch (width) {
    case 'b':
    case 'B':
        rc = sysBusWrite8(addr, uint8_t(value));
        break;
    case 'w':
    case 'W':
        rc = sysBusWrite16(addr, uint16_t(value));
        break;
    case 'l':
    case 'L':
        rc = sysBusWrite32(addr, value);
        break;
    default:
        vx::printf("\nERROR: nothing stored: give the width with wb, ww or wl\n");
        return;
    }
    if (rc != 0) {
        memBusError(addr);
        return;
    }
    vx::printf("\n");
}

bool memIsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

/* The next blank-separated word of the line at *pos (terminated in place), or
 * nullptr when the line has no more words. */
char* memNextWord(char** pos)
{
    char* p = *pos;
    while (*p && memIsBlank(*p)) ++p;
    if (!*p) return nullptr;
    char* word = p;
    while (*p && !memIsBlank(*p)) ++p;
    if (*p) *p++ = '\0';
    *pos = p;
    return word;
}

/* One command line. Returns false for quit. */
bool memCommandRun(char* line)
{
    char* pos = line;
    const char* cmd = memNextWord(&pos);
    if (!cmd) return true; /* empty line */
    char c = cmd[0];
    if (c == 'q' || c == 'Q') return false;
    bool isRead = c == 'r' || c == 'R';
    bool isWrite = c == 'w' || c == 'W';
    if (!isRead && !isWrite) return true;
    const char* addrText = memNextWord(&pos);
    const char* argText = addrText ? memNextWord(&pos) : nullptr;
    if (!argText) {
        vx::printf(isRead ? "ERROR: missing operand: r ADDRESS COUNT\n" : "ERROR: missing operand: w(b/w/l) ADDRESS VALUE\n");
        return true;
    }
    uint32_t addr = memHex(addrText);
    if (isRead)
        memDump(addr, memDecimal(argText));
    else
        memWrite(cmd[1], addr, memHex(argText));
    return true;
}

/* ---- RAM test ---- */

struct RamRegion {
    uint32_t start;
    uint32_t end; /* of the whole words inside the block */
};

bool ramWord(uint32_t addr, uint32_t pattern, uint32_t* read)
{
    if (sysBusWrite32(addr, pattern) != 0 || sysBusRead32(addr, read) != 0) {
        memBusError(addr);
        return false;
    }
    return true;
}

void ramReport(const char* failed, uint32_t addr, uint32_t wrote, uint32_t read)
{
    vx::printf("%s", failed);
    vx::printf("Location 0x%08x\n", addr);
    vx::printf("Wrote    0x%08x\n", wrote);
    vx::printf("Read     0x%08x\n", read);
}

/* Walking ones (invert 0) or zeros (invert all ones) at the first word and the
 * words at power-of-two byte offsets from 4. */
bool ramWalk(const RamRegion& r, uint32_t invert, const char* failed)
{
    for (uint64_t a = r.start, step = 4; a + 4 <= r.end; a = r.start + step, step *= 2) {
        for (int bit = 0; bit < 32; ++bit) {
            uint32_t pattern = (1u << bit) ^ invert, read;
            if (!ramWord(uint32_t(a), pattern, &read)) return false;
            if (read != pattern) {
                ramReport(failed, uint32_t(a), pattern, read);
                return false;
            }
        }
    }
    return true;
}

/* Every word written 0, checked and set to all ones, then checked again, so a
 * write that lands on another address shows. */
bool ramAliasing(const RamRegion& r)
{
    for (uint32_t a = r.start; a < r.end; a += 4) {
        if (sysBusWrite32(a, 0) != 0) {
            memBusError(a);
            return false;
        }
    }
    for (uint32_t a = r.start; a < r.end; a += 4) {
        uint32_t read;
        if (sysBusRead32(a, &read) != 0 || sysBusWrite32(a, 0xFFFFFFFFu) != 0) {
            memBusError(a);
            return false;
        }
        if (read != 0) {
            vx::printf("SDRAM Address Aliasing error.\n");
            vx::printf("Location 0x%08x\n", a);
            vx::printf("Wrote    0x00000000\n");
            vx::printf("Read     0x%08x\n", read);
            return false;
        }
    }
    for (uint32_t a = r.start; a < r.end; a += 4) {
        uint32_t read;
        if (sysBusRead32(a, &read) != 0) {
            memBusError(a);
            return false;
        }
        if (read != 0xFFFFFFFFu) {
            vx::printf("SDRAM Address Aliasing error.\n");
            vx::printf("Location 0x%08x\n", a);
            vx::printf("Wrote    0xFFFFFFFF\n");
            vx::printf("Read     0x%08x\n", read);
            return false;
        }
    }
    return true;
}

bool ramTestRegion(const RamRegion& r)
{
    if (r.start >= r.end) return true;
    vx::printf("SDRAM walking 1's test...\n");
    if (!ramWalk(r, 0, "SDRAM walking 1's test failed.\n")) return false;
    vx::printf("SDRAM walking 0's test...\n");
    if (!ramWalk(r, 0xFFFFFFFFu, "SDRAM walking 0's test failed.\n")) return false;
    vx::printf("SDRAM Address Aliasing test...\n");
    return ramAliasing(r);
}

/* ---- File system test ---- */

/* Asks until a line comes; the line's decimal value. */
int32_t fsAskNumber(const char* prompt)
{
    char line[BOOT_LINE_LEN];
    for (;;) {
        vx::printf("%s", prompt);
        vx::fflushStdout();
        std::memset(line, 0, sizeof line);
        if (bootReadLine(line)) break;
        vx::printf("Please input a number\n\n");
    }
    vx::printf("\n");
    return memDecimal(line);
}

/* Reads fd to its end in pieces of at most piece bytes into buf (capacity cap).
 * Returns the bytes read, -1 on a read error, -2 when the data do not fit. */
int64_t fsReadAll(int fd, uint8_t* buf, uint32_t cap, uint32_t piece)
{
    uint32_t total = 0;
    for (;;) {
        uint8_t probe;
        uint32_t room = cap - total;
        uint32_t want = room < piece ? room : piece;
        int32_t n = want ? vx::read(fd, buf + total, want) : vx::read(fd, &probe, 1);
        if (n < 0) return -1;
        if (n == 0) return total;
        if (!want) return -2;
        total += uint32_t(n);
    }
}

/* Writes the reference data to fd in pieces of the write size. */
bool fsWritePieces(int fd, const uint8_t* data, uint32_t size, int32_t writeSize)
{
    uint64_t off = 0;
    if (uint64_t(writeSize) < size) {
        do {
            if (vx::write(fd, data + off, uint32_t(writeSize)) != writeSize) return false;
            off += uint64_t(writeSize);
        } while (off + uint64_t(writeSize) < size);
    }
    if (off < size) {
        int32_t rest = int32_t(size - off);
        if (vx::write(fd, data + off, uint32_t(rest)) != rest) return false;
    }
    return true;
}

/* Reports the differing bytes; true when there were none. */
bool fsCompare(const uint8_t* expected, const uint8_t* received, uint32_t size)
{
    int reported = 0;
    for (uint32_t i = 0; i < size; ++i) {
        if (expected[i] == received[i]) continue;
        vx::printf("\nData mismatch at location %d, expected 0x%x and received 0x%x", int(i), unsigned(expected[i]),
                   unsigned(received[i]));
        if (++reported > kFsMaxReported) {
            vx::printf("\nMore than 20 data mismatch\n");
            break;
        }
    }
    return reported == 0;
}

/* The iterations over the reference data read from "image1". */
void fsTestRun(int32_t iterations, int32_t writeSize, int32_t readSize, uint8_t* ref, uint8_t* back)
{
    int fd = vx::open(kFsImageName, vx::RDWR, 0);
    if (fd < 0) {
        vx::printf("\nError opening operational code.\n");
        return;
    }
    int64_t got = fsReadAll(fd, ref, kFsBufLen, kFsReadPiece);
    vx::close(fd);
    if (got == -1) {
        vx::printf("\nReading of Operational Code '%s' failed.\n", kFsImageName);
        return;
    }
    if (got == -2) {
        vx::printf("\nERROR: '%s' is larger than the test buffer of %u bytes.\n", kFsImageName, unsigned(kFsBufLen));
        return;
    }
    uint32_t fileSize = uint32_t(got);
    vx::printf("File size:  %d\n", int(fileSize));

    /* A count of 0 or below runs until a failure: the remaining count is
     * counted down only for a positive count, so it never passes 0 or wraps;
     * the iteration number wraps as the board's 32-bit counter does. */
    uint32_t counter = 0;
    int32_t remaining = iterations;
    for (;;) {
        ++counter;
        vx::printf("\nIter %d of %d -\n", int(counter), int(iterations));
        std::memset(back, 0, kFsBufLen);

        vx::remove(kFsTempName);
        fd = vx::open(kFsTempName, vx::CREAT | vx::RDWR, 0644);
        if (fd < 0) {
            vx::printf("\nError creating temp file.\n\n");
            return;
        }
        bool written = fsWritePieces(fd, ref, fileSize, writeSize);
        vx::close(fd);
        if (!written) {
            vx::printf("\nWriting to test file failed.\n");
            return;
        }

        fd = vx::open(kFsTempName, vx::RDWR, 0);
        int64_t readBack = fd < 0 ? -1 : fsReadAll(fd, back, kFsBufLen, uint32_t(readSize));
        if (fd >= 0) vx::close(fd);
        if (readBack == -1) {
            vx::printf("\nReading from test file failed.\n");
            return;
        }
        /* A longer file than written fills the buffer; the comparison shows
         * any difference within the written size. */
        if (!fsCompare(ref, back, fileSize)) return;
        if (remaining > 0 && --remaining == 0) return;
    }
}

} // namespace

void bootMemCommand()
{
    vx::printf("\n\nCommands...\n\nr/w(b/w/l)\n");
    vx::printf("Example: r 7c004000 10 \n");
    vx::printf("Example: wb 7c004000 ff \n");
    vx::printf("q to quit\n");
    char line[kCmdLineLen];
    for (;;) {
        vx::printf("> ");
        vx::fflushStdout();
        bool longer = false;
        if (bootLineRead(line, sizeof line, &longer) < 0) {
            vx::printf("\n\nError reading from stream!\nCommand aborted.\n");
            return;
        }
        if (longer) {
            /* A longer line's rest is never run as a command of its own. */
            vx::printf("ERROR: command line longer than %d characters, ignored\n", kCmdLineLen - 1);
            continue;
        }
        if (!memCommandRun(line)) return;
    }
}

void bootRamTest()
{
    uint32_t size = uint32_t(vx::memFindMax());
    vx::printf("Allocating memory of size 0x%08x...\n", size);
    void* block = size ? vx::malloc(size) : nullptr;
    if (size && !block) {
        vx::printf("ERROR: could not allocate 0x%08x bytes for the RAM test\n", size);
        return;
    }
    bool passed = true;
    if (block) {
        std::memset(block, 0, size);
        /* Whole aligned words inside the block only. */
        uint32_t start = vx::ptrToBoardAddr(block);
        uint32_t first = (start + 3) & ~3u;
        uint32_t end = (start + size) & ~3u;
        passed = ramTestRegion(RamRegion{first, end > first ? end : first});
        vx::free(block);
    }
    if (passed) vx::printf("SDRAM tests completed successfully.\n\n");
}

void bootFsTest()
{
    int32_t iterations = fsAskNumber("\nInput iterations (0=forever) ");
    int32_t writeSize = fsAskNumber("Input write size ");
    int32_t readSize = fsAskNumber("Input read size ");
    vx::printf("\nTest will run %d times (forever if 0)\n", int(iterations));
    if (writeSize <= 0 || readSize <= 0) {
        vx::printf("ERROR: the write and read sizes must be 1 or more\n");
        return;
    }
    uint8_t* ref = static_cast<uint8_t*>(vx::malloc(kFsBufLen));
    uint8_t* back = ref ? static_cast<uint8_t*>(vx::malloc(kFsBufLen)) : nullptr;
    if (!back) {
        vx::printf("ERROR: not enough memory for the file system test buffers\n");
    } else {
        fsTestRun(iterations, writeSize, readSize, ref, back);
    }
    if (back) vx::free(back);
    if (ref) vx::free(ref);
}
