// Power cuts during a boot code update, at a seeded sample of its 16,392
// flash operations (all with TARN_FLASH_CUT_SWEEP=1, all from the Nth with =N): each cut is taken
// in a forked copy of the board, whose next power-on must find the old or the
// new boot code whole, or a dead board while the region is being rewritten,
// with only the cut operation's range torn, as a chip leaves it.
#include "image/bootCodeUpdate.h"

#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "host/os/hostos.h"
#include "support/flashBoard.h"
#include "support/textCheck.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uint32_t kSector = host::NorFlash::kSectorSize;
constexpr uint64_t kErases = BOOT_FLASH_SIZE / kSector, kOps = kErases + BOOT_FLASH_SIZE / 64;

class BootCodeCut : public FlashBoard {
protected:
    const uint8_t* region() { return nor().store().data() + host::NorStore::kBootRegion; }
    // In the child after the cut during operation n: 0 a whole state, 1 a torn one, 2 wrong.
    int check(uint64_t n, const std::string& before, const std::string& code)
    {
        const uint8_t* now = region();
        const bool erase = n <= kErases;
        const uint32_t first = erase ? uint32_t(n - 1) * kSector : uint32_t(n - kErases - 1) * 64;
        const uint32_t len = erase ? kSector : 64;
        const std::string ones(BOOT_FLASH_SIZE, '\xFF');
        const std::string& done = erase ? ones : code;      // before the operation's range
        const std::string& after = erase ? before : ones;   // after it
        const uint32_t end = first + len;
        if (std::memcmp(now, done.data(), first) || std::memcmp(now + end, after.data() + end, BOOT_FLASH_SIZE - end))
            return std::fprintf(stderr, "cut %llu: changes outside the operation\n", (unsigned long long)n), 2;
        bool torn = false;
        for (uint32_t i = first; i < end; ++i) {
            const uint8_t old = erase ? uint8_t(before[i]) : 0xFF, want = erase ? 0xFF : uint8_t(code[i]);
            if ((now[i] ^ old) & ~(old ^ want))
                return std::fprintf(stderr, "cut %llu: byte %u changed the wrong way\n", (unsigned long long)n, i), 2;
            torn |= now[i] != old && now[i] != want;
        }
        if (nor().deadReason().find("unfinished") == std::string::npos)
            return std::fprintf(stderr, "cut %llu: the board would start\n", (unsigned long long)n), 2;
        return torn ? 1 : 0;
    }
};

TEST_F(BootCodeCut, EveryCutLeavesOldNewOrADeadBoardBeingRewritten)
{
    host::board().setDir(""); // a volatile flash: the children's cuts stay their own
    host::board().powerOn();
    flashDevReset();
    ASSERT_EQ(flashDevProbe(), 0);
    flashAccessLockCreate();
    std::string code = textcheck::noise(BOOT_FLASH_SIZE);
    code.replace(code.size() - 4, 4, "\x4B\xFF\xF0\x04"); // the reset vector's branch
    writeHostFile("bootcode.bin", code);
    const std::string old(reinterpret_cast<const char*>(region()), BOOT_FLASH_SIZE);
    ASSERT_TRUE(nor().bootCodePresent());

    const char* from = std::getenv("TARN_FLASH_CUT_SWEEP"); // N: every operation from the Nth
    const unsigned seed = 25;
    std::set<uint64_t> cuts = {1, kErases, kErases + 1, kOps};
    std::mt19937_64 rng(seed);
    while (!from && cuts.size() < 48) cuts.insert(1 + rng() % kOps);
    for (uint64_t n = from ? std::strtoull(from, nullptr, 10) : kOps + 1; n <= kOps; ++n) cuts.insert(n);

    uint64_t cutHere = 0, counts[3] = {0, 0, 0};
    host::NorFlash::Faults f;
    f.onOperation = [&](uint64_t n) {
        if (!cuts.count(n)) return false;
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) return (cutHere = n) != 0;
        int st = 0;
        waitpid(pid, &st, 0);
        const int r = WIFEXITED(st) ? WEXITSTATUS(st) : 2;
        counts[r > 2 ? 2 : r]++;
        EXPECT_LT(r, 2) << "cut during operation " << n << " (seed " << seed << ")";
        return false;
    };
    nor().setFaults(f);
    try {
        EXPECT_EQ(bootCodeUpdate("bootcode.bin"), BOOT_UPDATE_OK);
    } catch (const host::PowerCutRequested&) {
        if (cutHere) _exit(check(cutHere, old, code));
        throw;
    }
    EXPECT_EQ(counts[0] + counts[1], cuts.size()) << "every cut a dead board being rewritten";
    EXPECT_GT(counts[1], cuts.size() / 2) << "most cuts leave a partial word or sector";
    EXPECT_EQ(std::memcmp(region(), code.data(), BOOT_FLASH_SIZE), 0);
    EXPECT_EQ(nor().deadReason(), "") << "the new boot code starts";
    text();
}

} // namespace
