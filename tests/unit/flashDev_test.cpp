// Boot flash driver over the NOR model: probe and geometry checks, write
// alignment, erase ranges, status failures (DQ5, its race, DQ1, no end), and
// power cuts during a boot code update.
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/flashDev.h"
#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "host/board/board.h"
#include "host/os/hostos.h"
#include "image/bootCodeUpdate.h"
#include "osapi.h"
#include "support/deviceBoards.h"
#include "support/textCheck.h"
#include "sysBus.h"

#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <tuple>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using host::NorFlash;

class FlashDev : public FlashBoard {
protected:
    uint16_t word(uint32_t addr) { return nor().store().word(addr - FLASH_BASE); }
    uint16_t busWord(uint32_t addr) { return sysBusRead16(addr, &w16) == 0 ? w16 : 0xDEAD; }
    uint16_t w16 = 0;
    const std::string noise = textcheck::noise(200);
    std::vector<uint8_t> data{noise.begin(), noise.end()};
};

TEST_F(FlashDev, ProbeReadsTheGeometryFromTheQueryTableAndRefusesAnUnusableOne)
{
    const FlashDevDesc* d = flashDevDescGet();
    EXPECT_EQ(d->deviceId, uint32_t(NorFlash::kDeviceId) << 8 | NorFlash::kManufacturerId);
    EXPECT_EQ(std::vector<uint32_t>({d->initialised, d->chipSize, d->bufferSize, d->regionCount}),
              std::vector<uint32_t>({1, 32u << 20, 64, 1}));
    const FlashRegion& r = d->regions[0];
    EXPECT_EQ(std::vector<uint32_t>({r.sectorCount, r.sectorSize, r.firstAddr, r.lastAddr, r.lastSector}),
              std::vector<uint32_t>({256, 0x20000, 0xFE000000, 0xFFFFFFFF, 255}));
    EXPECT_EQ(std::vector<uint32_t>({d->fdFlashType, d->fdSize, d->fdEraseUnitSize, d->fdWindowBase, d->fdReady}),
              std::vector<uint32_t>({d->deviceId & 0xFFFF, 30u << 20, 0x20000, 0xFE000000, 1}))
        << "the top 2 MB stay with the boot code";
    EXPECT_EQ(flashDevProbe(), 0);
    EXPECT_EQ(nor().counters().reads + nor().counters().writes, 0u) << "a second probe touches nothing";
    EXPECT_EQ(busWord(0xFFF00000), 't' << 8 | 'a') << "left in read-array (the reset leaves query mode)";
    // Unusable query tables are refused, and every later operation with them.
    const std::tuple<uint32_t, uint8_t, const char*> cases[] = {
        {0x10, 0x00, "no CFI signature"}, {0x2A, 0x00, "a 1-byte write buffer (no whole word)"},
        {0x2A, 0x20, "a write buffer exponent of 32"}, {0x27, 0x20, "a size exponent of 32"},
        {0x27, 0x1A, "a device larger than its window"}, {0x2C, 0x00, "no erase region"},
        {0x2C, 0x05, "more erase regions than the table holds"}, {0x30, 0x00, "a sector size of 0"},
        {0x2E, 0x01, "regions beyond the device"},
    };
    for (auto [at, value, why] : cases) {
        host::board().powerOn();
        nor().patchQuery(at, value);
        flashDevReset();
        EXPECT_EQ(flashDevProbe(), -1) << why;
        EXPECT_HAS(takeText(), "flashDevProbe: CFI query failed\n") << why;
        EXPECT_EQ(flashDevWrite(FLASH_BASE, data.data(), 2) + flashDevSectorErase(0) + flashDevErase(FLASH_BASE, 2),
                  -3);
        EXPECT_EQ(textcheck::count(takeText(), "Device is not initialized yet\n"), 3u) << why;
        EXPECT_EQ(word(0xFE000000), 0xFFFF) << why;
    }
}

TEST_F(FlashDev, WritesAndErasesCoverTheirRangesAndRefuseBadOnes)
{
    ASSERT_EQ(flashDevWrite(0xFE000002, data.data(), uint32_t(data.size())), 0);
    EXPECT_EQ(nor().counters().wordPrograms, 31u) << "single words up to the buffer boundary";
    EXPECT_EQ(nor().counters().bufferPrograms, 3u) << "two whole buffers and a partial one";
    for (size_t i = 0; i < data.size(); i += 2) ASSERT_EQ(word(0xFE000002 + uint32_t(i)), data[i] << 8 | data[i + 1]);
    EXPECT_EQ(word(0xFE000000) & word(0xFE000002 + 200), 0xFFFF);
    flashDevBufferedWriteSet(0);
    ASSERT_EQ(flashDevWrite(0xFE010000, data.data(), 64), 0);
    EXPECT_EQ(nor().counters().wordPrograms, 31u + 32u) << "word by word with the buffer off";
    flashDevBufferedWriteSet(1);
    EXPECT_EQ(flashDevWrite(0xFE001000, data.data(), 0), 0) << "size 0 writes nothing";
    EXPECT_EQ(takeText(), "");
    // Refused before touching the device: odd address or size, past the device, not the flash.
    nor().counters() = {};
    const uint32_t bad[][2] = {{0xFE001001, 2}, {0xFE001000, 3}, {0xFFFFFFFE, 4}, {0xF0000000, 2}};
    for (auto [addr, size] : bad) EXPECT_EQ(flashDevWrite(addr, data.data(), size), -1) << std::hex << addr;
    EXPECT_EQ(nor().counters().writes, 0u);
    std::string out = takeText();
    EXPECT_HAS(out, "flashDevWrite: address or size error, address fe001001 size 2\n");
    // A write that ends at the top of the address space must not wrap to 0.
    ASSERT_EQ(sysBusWrite32(0, 0x12345678), 0);
    ASSERT_EQ(flashDevSectorErase(255), 0);
    ASSERT_EQ(Flash_Write_Block(data.data(), 0xFFFFFFC0, 64), 0);
    EXPECT_EQ(word(0xFFFFFFFE), data[62] << 8 | data[63]);
    EXPECT_EQ(busWord(0) << 16 | busWord(2), 0x12345678u);
    // Erases cover the sectors of both ends of the range.
    ASSERT_EQ(flashDevWrite(0xFE060000, data.data(), 8), 0); // sector 3
    nor().counters() = {};
    EXPECT_EQ(flashDevErase(0xFE000000, 0x40000), 0);
    EXPECT_EQ(nor().counters().sectorErases, 3u) << "through the sector holding the end address";
    EXPECT_EQ(word(0xFE060000), data[0] << 8 | data[1]);
    nor().counters() = {};
    EXPECT_EQ(Flash_Erase(0xFFF00000, 0xFFFFFFFF), 0);
    EXPECT_EQ(nor().counters().sectorErases, 8u) << "exactly the top megabyte";
    EXPECT_EQ(word(0xFFFFFFFC) & word(0xFFF00000), 0xFFFF);
    nor().counters() = {};
    EXPECT_EQ(flashDevErase(0x1000, 0x10), -1);
    EXPECT_EQ(flashDevErase(0xFFF00000, 0x200000), -1) << "end wraps past the top";
    EXPECT_EQ(Flash_Erase(0xFE040000, 0xFE000000), -1) << "end before start";
    EXPECT_EQ(flashDevSectorErase(256), -1);
    EXPECT_EQ(nor().counters().writes, 0u);
    out = takeText();
    EXPECT_HAS(out, "spfSectorNumGet: invalid address 1000\nflashDevErase: spfSectorNumGet() failed for address 0x1");
    EXPECT_HAS(out, "flashDevSectorErase: spfSectorAdrsGet() failed for sector 256\n");
}

TEST_F(FlashDev, StatusFailuresAreReportedAndLeaveReadArray)
{
    NorFlash::Faults f;
    f.program = f.erase = NorFlash::Fault::Fail;
    nor().setFaults(f);
    EXPECT_EQ(Flash_Write_Block(data.data(), 0xFE000000, 64), -1);
    EXPECT_EQ(flashDevWrite(0xFE000002, data.data(), 2), -1);
    EXPECT_EQ(flashDevSectorErase(4), -1);
    std::string out = takeText();
    EXPECT_HAS(out, "spfOpStatusCheck: FAILED for operation 1 at address 0xfe00003e\n"
                    "flashDevWrite: spfOpStatusCheck() failed at adrs 0xfe000000\n"
                    "Flash_Write_Block: flashDevWrite() failed\n");
    EXPECT_HAS(out, "FAILED for operation 2");
    EXPECT_HAS(out, "flashDevSectorErase: spfOpStatusCheck() failed for sector 4 (adrs 0xfe080000) \n");
    EXPECT_EQ(busWord(0xFFF00000), 't' << 8 | 'a') << "back in read-array after each failure";
    // DQ5 in the very read that completes the operation: DQ7 read again shows it done.
    f.program = f.erase = NorFlash::Fault::Race;
    nor().setFaults(f);
    EXPECT_EQ(flashDevSectorErase(0), 0);
    EXPECT_EQ(flashDevWrite(0xFE000000, data.data(), 64), 0) << "the driver's lock was given back";
    EXPECT_EQ(flashDevWrite(0xFE000042, data.data(), 2), 0);
    EXPECT_EQ(takeText(), "");
    EXPECT_EQ(word(0xFE00003E), data[62] << 8 | data[63]);
    // A buffer load that leaves its page aborts (DQ1); the check resets the abort.
    for (auto [a, v] : std::vector<std::pair<uint32_t, uint16_t>>{
             {0xAAA, 0xAA}, {0x554, 0x55}, {0x100, 0x25}, {0x100, 1}, {0x100, 0x1234}, {0x140, 0x1234}})
        sysBusWrite16(FLASH_BASE + a, v);
    EXPECT_EQ(spfOpStatusCheck(FLASH_OP_BUFFER, 0xFE000100, 0x1234), -1);
    EXPECT_HAS(takeText(), "spfOpStatusCheck: ABORT for buffer write at address 0xfe000100\n");
    EXPECT_EQ(busWord(0xFFF00000), 't' << 8 | 'a') << "abort reset done: read-array again";
    // An operation that never ends: the poll limit, then the timeout.
    f.erase = NorFlash::Fault::Hang;
    nor().setFaults(f);
    nor().counters() = {};
    EXPECT_EQ(flashDevSectorErase(0), -1);
    EXPECT_EQ(nor().counters().statusReads, uint64_t(FLASH_STATUS_POLLS));
    EXPECT_HAS(takeText(), "spfOpStatusCheck: TIMEOUT for operation 3 at address 0xfe000000\n");
}

// Power cuts during a boot code update, at a seeded sample of its 16,392
// flash operations (all from the Nth with TARN_FLASH_CUT_SWEEP=N): each cut is
// taken in a forked copy of the board, whose next power-on must find the old
// or the new boot code whole, or a dead board while the region is being
// rewritten, with only the cut operation's range torn, as a chip leaves it.
TEST_F(FlashDev, EveryCutOfABootCodeUpdateLeavesOldNewOrADeadBoardBeingRewritten)
{
    constexpr uint32_t kSector = NorFlash::kSectorSize;
    constexpr uint64_t kErases = BOOT_FLASH_SIZE / kSector, kOps = kErases + BOOT_FLASH_SIZE / 64;
    host::board().setDir(""); // a volatile flash: the children's cuts stay their own
    host::board().powerOn();
    flashAccessLockCreate();
    std::string code = textcheck::noise(BOOT_FLASH_SIZE);
    code.replace(code.size() - 4, 4, "\x4B\xFF\xF0\x04"); // the reset vector's branch
    writeHostFile("bootcode.bin", code);
    const uint8_t* now = nor().store().data() + host::NorStore::kBootRegion;
    const std::string old(reinterpret_cast<const char*>(now), BOOT_FLASH_SIZE), ones(BOOT_FLASH_SIZE, '\xFF');
    // In the child after the cut during operation n: 0 a whole state, 1 a torn one, 2 wrong.
    auto check = [&](uint64_t n) {
        const bool erase = n <= kErases;
        const uint32_t first = erase ? uint32_t(n - 1) * kSector : uint32_t(n - kErases - 1) * 64;
        const uint32_t end = first + (erase ? kSector : 64);
        const std::string &done = erase ? ones : code, &after = erase ? old : ones;
        bool bad = std::memcmp(now, done.data(), first) || std::memcmp(now + end, &after[end], BOOT_FLASH_SIZE - end);
        bool torn = false;
        for (uint32_t i = first; i < end; ++i) {
            const uint8_t was = erase ? uint8_t(old[i]) : 0xFF, want = erase ? 0xFF : uint8_t(code[i]);
            bad |= ((now[i] ^ was) & ~(was ^ want)) != 0; // only bits the operation changes
            torn |= now[i] != was && now[i] != want;
        }
        return bad || nor().deadReason().find("unfinished") == std::string::npos ? 2 : int(torn);
    };
    const char* from = std::getenv("TARN_FLASH_CUT_SWEEP"); // N: every operation from the Nth
    const unsigned seed = 25;
    std::set<uint64_t> cuts = {1, kErases, kErases + 1, kOps};
    std::mt19937_64 rng(seed);
    while (!from && cuts.size() < 48) cuts.insert(1 + rng() % kOps);
    for (uint64_t n = from ? std::strtoull(from, nullptr, 10) : kOps + 1; n <= kOps; ++n) cuts.insert(n);
    uint64_t cutHere = 0, counts[3] = {0, 0, 0};
    NorFlash::Faults f;
    f.onOperation = [&](uint64_t n) {
        if (!cuts.count(n)) return false;
        std::fflush(nullptr);
        if (fork() == 0) return (cutHere = n) != 0;
        int st = 0;
        wait(&st);
        const int r = WIFEXITED(st) && WEXITSTATUS(st) < 2 ? WEXITSTATUS(st) : 2;
        EXPECT_LT(r, 2) << "wrong state or a live board after the cut during operation " << n << ", seed " << seed;
        counts[r]++;
        return false;
    };
    nor().setFaults(f);
    nor().counters() = {};
    try {
        EXPECT_EQ(bootCodeUpdate("bootcode.bin"), BOOT_UPDATE_OK);
    } catch (const host::PowerCutRequested&) {
        if (cutHere) _exit(check(cutHere));
        throw;
    }
    EXPECT_EQ(counts[0] + counts[1], cuts.size()) << "every cut a dead board being rewritten";
    EXPECT_GT(counts[1], cuts.size() / 2) << "most cuts leave a partial word or sector";
    EXPECT_EQ(std::memcmp(now, code.data(), BOOT_FLASH_SIZE), 0);
    EXPECT_EQ(nor().deadReason(), "") << "the new boot code starts";
    EXPECT_EQ(nor().counters().sectorErases, kErases);
    EXPECT_EQ(nor().counters().bufferPrograms, kOps - kErases) << "all by write buffer";
    flashAccessLockTake(); // given back (a take while held would reset the board)
    flashAccessLockGive();
}

} // namespace
