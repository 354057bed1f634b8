/*
 * bootLaunch.cpp - starting other code in place of the boot code: the
 * operational code, inflated from component 0 of its image to the load address
 * with a progress bar, or the diagnostics image, copied to 0x01000000. Both end
 * in the hand-over: interrupts off, instruction cache invalidated, HID0
 * cleared, then the jump.
 */
#include "bsp/cpu/tarn8541/vxworks/start/bootLaunch.h"

#include <zlib.h>

#include <cstdint>

#include "image/image.h"
#include "image/imageActivate.h"
#include "osapi.h"

namespace {

constexpr const char* XCODE_FILE = "xcode.bin";
constexpr const char* BOOTCODE_FILE = "bootcode.bin";
constexpr const char* DIAG_IMAGE_FILE = "diag_image.stk";
constexpr uint32_t START_ARG_DIAG = 1;

/* Machine state register: and-mask that clears the critical and external
 * interrupt enables (CE 0x20000, EE 0x8000). */
constexpr uint32_t MSR_INTS_OFF = 0xFFFD7FFFu;
/* L1CSR1: instruction cache flash invalidate. */
constexpr uint32_t L1CSR1_ICFI = 0x2u;

constexpr uint32_t PERCENT_FULL = 100;
constexpr uint32_t FIRST_MARK = 1; /* "last marked" before any mark: odd, so 0 % marks */

/* What the last successful inflate produced. */
uint32_t loadedAddr = 0;
uint32_t loadedLen = 0;

/* zlib's state comes from the system memory pool, like every allocation of
 * the boot code. */
voidpf zAlloc(voidpf, uInt items, uInt size)
{
    if (size != 0 && items > SIZE_MAX / size)
        return Z_NULL;
    return vx::malloc(static_cast<size_t>(items) * size);
}

void zFree(voidpf, voidpf p) { vx::free(p); }

/* A one-second sleep that resumes after interruptions until it is complete. */
void sleepOneSecond()
{
    vx::TimeSpec req{1, 0};
    vx::TimeSpec rem{0, 0};
    while (vx::nanosleep(&req, &rem) != 0 && (rem.tv_sec > 0 || rem.tv_nsec > 0))
        req = rem;
}

/* Left-overs of transfers (image load, boot code update) go before a launch. */
void launchCleanUp()
{
    vx::remove(XCODE_FILE);
    vx::remove(BOOTCODE_FILE);
}

[[noreturn]] void decompressionFailed()
{
    vx::printf("\n\nThere was an error during decompression... resetting the switch\n");
    vx::taskDelay(2 * vx::sysClkRateGet());
    vx::sysReset();
}

/* The hand-over: no interrupts, a clean instruction cache, HID0 cleared, then
 * the entry with its one argument. */
[[noreturn]] void launchHandover(const char* kind, uint32_t entry, uint32_t startArg, uint32_t addr, uint32_t len)
{
    vx::vxMsrSet(vx::vxMsrGet() & MSR_INTS_OFF);
    vx::fflushStdout();
    vx::taskDelay(vx::sysClkRateGet());
    vx::intLock();
    uint32_t l1csr1 = vx::vxL1csr1Get();
    vx::vxL1csr1Set(l1csr1 & ~L1CSR1_ICFI);
    vx::vxSync();
    vx::vxL1csr1Set(l1csr1 | L1CSR1_ICFI);
    vx::vxSync();
    vx::vxHid0Set(0);
    vx::sysEnterCode(kind, entry, startArg, addr, len);
}

/* Where inflate may write: from the load address up to the end of the code
 * load area, and never over the image buffer. 0 when nothing may be written. */
uint32_t outputRoom(uint32_t load, const uint8_t* buf)
{
    if (load >= CODE_LOAD_AREA_END)
        return 0;
    uint32_t room = CODE_LOAD_AREA_END - load;
    if (vx::boardAddrToPtr(load, room) == nullptr)
        return 0;
    uint32_t bufAddr = vx::ptrToBoardAddr(buf);
    if (bufAddr >= load && bufAddr - load < room)
        room = bufAddr - load;
    else if (bufAddr < load && load - bufAddr < LAUNCH_BUFFER_SIZE)
        return 0;
    return room;
}

} // namespace

/* The inflate loop of a launch and the bar under its ruler. The fixed steps
 * (1024 bytes in, 3072 out) cost a call into zlib per kilobyte, and every call
 * copies its output into zlib's window as well. A step below 1 % of the
 * component cannot carry the input count past a percentage, so such steps
 * mark every even percentage on the way like the fixed ones do: a component
 * of more than 100 KiB is inflated in steps of just under 1 % of its size,
 * smaller ones keep the fixed steps and their exact marks. */
namespace {

enum class StepEnd { ENDED, FAILED, USED_UP };

bool streamInit(z_stream* zs, const uint8_t* in, uint8_t* out)
{
    *zs = z_stream{};
    zs->zalloc = zAlloc;
    zs->zfree = zFree;
    zs->opaque = Z_NULL;
    zs->next_in = const_cast<Bytef*>(in);
    zs->avail_in = 0;
    zs->next_out = out;
    zs->avail_out = 0;
    return inflateInit(zs) == Z_OK;
}

uint32_t percentOf(uint64_t consumed, uint32_t size)
{
    uint64_t percent = consumed * PERCENT_FULL / size;
    return percent > PERCENT_FULL ? PERCENT_FULL : static_cast<uint32_t>(percent); /* a longer stream keeps 51 marks */
}

void printMark()
{
    vx::printf("|");
    vx::fflushStdout();
}

/* Inflates in steps of inStep input and outStep output space while input that
 * was read remains, calling afterStep with the input count after each call.
 * The stream must end within the bytes read: one that does not is USED_UP. */
template <typename AfterStep>
StepEnd inflateSteps(z_stream* zs, uint32_t avail, uint32_t room, uint32_t inStep, uint32_t outStep,
                     AfterStep afterStep)
{
    while (zs->total_in < avail) {
        uint32_t inLeft = avail - static_cast<uint32_t>(zs->total_in);
        uint32_t outLeft = room - static_cast<uint32_t>(zs->total_out);
        zs->avail_in = inLeft < inStep ? inLeft : inStep;
        zs->avail_out = outLeft < outStep ? outLeft : outStep;
        int rc = inflate(zs, Z_NO_FLUSH);
        afterStep(zs->total_in);
        if (rc == Z_STREAM_END)
            return StepEnd::ENDED;
        if (rc != Z_OK)
            return StepEnd::FAILED;
    }
    return StepEnd::USED_UP;
}

} // namespace

int bootInflate(const uint8_t* in, uint32_t avail, uint32_t size, uint8_t* out, uint32_t room, uint32_t* produced)
{
    if (size == 0)
        return 1;
    z_stream zs;
    if (!streamInit(&zs, in, out))
        return 1;
    vx::printf("                       50%%                     100%%\n");

    StepEnd end;
    if (static_cast<uint64_t>(LAUNCH_IN_STEP) * PERCENT_FULL >= size) {
        /* The fixed steps: a mark for each even percentage reached that
         * differs from the last one marked. */
        uint32_t lastMark = FIRST_MARK;
        end = inflateSteps(&zs, avail, room, LAUNCH_IN_STEP, LAUNCH_OUT_STEP, [&](uLong totalIn) {
            uint32_t percent = percentOf(totalIn, size);
            if (percent % 2 == 0 && percent != lastMark) {
                printMark();
                lastMark = percent;
            }
        });
    } else {
        /* Here the fixed steps are below 1 % of size and reach every
         * percentage: their bar is one mark per even percentage up to where
         * their input count ends, whatever steps take us there. The mark of the
         * percentage in progress waits until the loop is over: a stream that
         * fails may be found bad a few bytes apart with other steps. */
        uint32_t nextMark = 0;
        auto markThrough = [&](uint32_t percent) {
            for (; nextMark <= percent; nextMark += 2)
                printMark();
        };
        uint32_t step = (size - 1) / PERCENT_FULL;
        end = inflateSteps(&zs, avail, room, step, 3 * step, [&](uLong totalIn) {
            uint32_t percent = percentOf(totalIn, size);
            if (percent > 0)
                markThrough(percent - 1);
        });
        if (end == StepEnd::FAILED) {
            /* Where the fixed steps would have stopped, and so their last
             * mark and their result: run them again without marks. */
            inflateEnd(&zs);
            if (!streamInit(&zs, in, out))
                return 1;
            end = inflateSteps(&zs, avail, room, LAUNCH_IN_STEP, LAUNCH_OUT_STEP, [](uLong) {});
        }
        markThrough(percentOf(zs.total_in, size));
    }
    if (end == StepEnd::FAILED) {
        inflateEnd(&zs);
        return 1;
    }
    *produced = static_cast<uint32_t>(zs.total_out);
    int endRc = inflateEnd(&zs);
    vx::printf("\n");
    return end == StepEnd::ENDED && endRc == Z_OK ? 0 : 1;
}

uint32_t bootLaunchLoadedAddr() { return loadedAddr; }
uint32_t bootLaunchLoadedLen() { return loadedLen; }

int bootUncompressImage(const char* path, int component)
{
    loadedAddr = 0;
    loadedLen = 0;
    if (component < 0 || component >= IMAGE_MAX_COMPONENTS)
        return 1;
    ImageHeader hdr;
    if (readImageHeader(path, &hdr) != 0)
        return 1;

    uint8_t* buf = static_cast<uint8_t*>(vx::malloc(LAUNCH_BUFFER_SIZE));
    if (buf == nullptr) {
        vx::printf("\nERROR: Could not allocate memory to read %s\n", path);
        return 1;
    }
    int32_t got = -1;
    int fd = vx::open(path, vx::RDONLY, 0);
    if (fd >= 0) {
        got = imageReadFull(fd, buf, LAUNCH_BUFFER_SIZE);
        vx::close(fd);
    }

    /* Inflate reads only bytes that were read from the file and writes only
     * inside the code load area, below the image buffer. */
    const ComponentRecord& comp = hdr.components[component];
    uint64_t start = static_cast<uint64_t>(IMAGE_HEADER_SIZE) + comp.offset;
    uint32_t room = outputRoom(comp.loadAddress, buf);
    if (got < 0 || comp.size == 0 || start >= static_cast<uint64_t>(got) || room == 0) {
        vx::free(buf);
        return 1;
    }
    uint32_t avail = static_cast<uint32_t>(got) - static_cast<uint32_t>(start);
    uint8_t* out = static_cast<uint8_t*>(vx::boardAddrToPtr(comp.loadAddress, room));
    uint32_t produced = 0;
    int rc = bootInflate(buf + start, avail, comp.size, out, room, &produced);
    if (rc == 0)
        sleepOneSecond();
    if (rc != 0) {
        vx::free(buf);
        return 1;
    }
    /* The image buffer stays allocated: the entered code inherits it. */
    loadedAddr = comp.loadAddress;
    loadedLen = produced;
    return 0;
}

void bootStartOpCode(uint32_t startArg)
{
    launchCleanUp();
    ImageHeader hdr;
    if (readImageHeader(bootImageName, &hdr) != 0)
        decompressionFailed();
    uint32_t entry = hdr.components[0].loadAddress;
    vx::printf("\n\nOperational Code Date: %s\n", hdr.timestamp);
    vx::printf("Uncompressing.....\n\n");
    if (bootUncompressImage(bootImageName, 0) != 0)
        decompressionFailed();
    launchHandover("opcode", entry, startArg, loadedAddr, loadedLen);
}

void bootStartDiag()
{
    launchCleanUp();
    int fd = vx::open(DIAG_IMAGE_FILE, vx::RDONLY, 0);
    if (fd < 0) {
        vx::printf("\nError reading %s into memory\n", DIAG_IMAGE_FILE);
        return;
    }
    vx::printf("\nReading %s into memory\n", DIAG_IMAGE_FILE);
    /* A longer file is cut at the size of the load area. */
    uint8_t* dst = static_cast<uint8_t*>(vx::boardAddrToPtr(DIAG_LOAD_ADDRESS, DIAG_MAX_SIZE));
    int32_t got = dst != nullptr ? imageReadFull(fd, dst, DIAG_MAX_SIZE) : -1;
    vx::close(fd);
    if (got < 0) {
        /* Code that was not read whole is never entered. */
        vx::printf("\nError reading %s into memory\n", DIAG_IMAGE_FILE);
        return;
    }
    launchHandover("diag", DIAG_LOAD_ADDRESS, START_ARG_DIAG, DIAG_LOAD_ADDRESS, static_cast<uint32_t>(got));
}
