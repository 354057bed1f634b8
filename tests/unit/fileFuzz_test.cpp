// fileFuzz_test.cpp - a seeded mutation search over the stored and received
// file readers of tests/fuzz/fileTargets.h (the same targets libFuzzer runs
// in the fuzz build). A failing input is printed with its seed. TARN_SEED
// and TARN_FUZZ_ITERS (executions per target) choose a longer run.
#include "../fuzz/fileTargets.h"
#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "support/search.h"
#include "support/testBoard.h"

#include <random>

namespace {

std::string current; // the input under test, for a crash report

// Mutations a reader meets in damaged files: flipped bits, interesting bytes
// and numbers, cut, grown, repeated and spliced pieces.
std::string mutate(std::string s, std::mt19937& rng, const std::vector<std::string>& seeds)
{
    auto pick = [&](size_t n) { return n ? size_t(rng() % n) : 0; };
    static const uint32_t kNumbers[] = {0,          1,          0x7F, 0x80, 0xFF, 0x100, 0x7FFFFFFF,
                                        0x80000000, 0xFFFFFFFF, 1220, 128,  1024};
    for (int n = 1 + int(pick(4)); n > 0; --n) {
        switch (pick(8)) {
        case 0: if (!s.empty()) s[pick(s.size())] ^= char(1 << pick(8)); break;
        case 1: if (!s.empty()) s[pick(s.size())] = "\0\n\r\xff-: !<\x1a"[pick(11)]; break;
        case 2: if (s.size() >= 4) {
                size_t at = pick(s.size() - 3);
                uint32_t v = kNumbers[pick(sizeof kNumbers / sizeof kNumbers[0])];
                for (int i = 0; i < 4; ++i) s[at + i] = char(v >> (24 - 8 * i));
            } break;
        case 3: s.resize(pick(s.size() + 1)); break;
        case 4: s.insert(pick(s.size() + 1), std::string(1 + pick(300), char(rng()))); break;
        case 5: if (!s.empty()) s.insert(pick(s.size() + 1), s.substr(pick(s.size()), 1 + pick(64))); break;
        case 6: {
            const std::string& o = seeds[pick(seeds.size())];
            s = s.substr(0, pick(s.size() + 1)) + o.substr(pick(o.size() + 1));
        } break;
        default:
            for (size_t i = pick(s.size() + 1), e = i + pick(16); i < e && i < s.size(); ++i) s[i] = char(rng());
            break;
        }
    }
    return s;
}

const char* targetName = "";
uint32_t seedNow = 0;

void reportInput()
{
    std::fprintf(stderr, "fileFuzz: target %s, seed %u, failing input:\n%s\n", targetName, seedNow,
                 search::printable(current).c_str());
}

class FileFuzz : public TestBoard {};

TEST_F(FileFuzz, MutatedFilesNeverBreakTheirReaders)
{
    const uint32_t seed = seedNow = uint32_t(search::env("TARN_SEED", 20080428u));
    const long iters = long(search::env("TARN_FUZZ_ITERS", 150));
    search::reportCrashesWith(reportInput);
    flashAccessLockCreate();
    fuzzfiles::Context ctx{boardDir + "/DskVol/files", &peer()};
    peer().onIdle = [](host::ScriptedPeer&) { return false; };
    for (const fuzzfiles::Target& t : fuzzfiles::targets()) {
        std::mt19937 rng(seed);
        targetName = t.name;
        for (long i = 0; i < iters; ++i) {
            const std::string& base = t.seeds[i % t.seeds.size()];
            current = i < long(t.seeds.size()) ? base : mutate(base, rng, t.seeds);
            t.run(ctx, current);
            peer().clearOutput();
        }
        std::printf("fileFuzz: %s: %ld executions (seed %u)\n", t.name, iters, seed);
    }
    current.clear();
}

} // namespace
