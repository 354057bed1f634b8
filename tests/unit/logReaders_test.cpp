// logReaders_test.cpp - the log readers over many random and malformed files
// (the deterministic counterpart of the libFuzzer target tests/fuzz; run it
// in the sanitizer build to catch reads past a buffer).
#include <gtest/gtest.h>

#include <random>

#include "../fuzz/logReaders.h"
#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "support/testBoard.h"

namespace {

class LogReadersTest : public TestBoard {
protected:
    void SetUp() override
    {
        TestBoard::SetUp();
        flashAccessLockCreate();
    }
};

// Inputs near the formats: records of every type with random fields, free and
// half-free slots, text slots with and without '<' and NUL, cut anywhere.
std::vector<uint8_t> nearFormat(std::mt19937& rng)
{
    std::uniform_int_distribution<int> byte(0, 255), kind(0, 7), pct(0, 99);
    static const uint32_t types[] = {1, 2, 3, 4, 0x300, 0x1100, 0xFFFFFFFF, 0, 5};
    std::vector<uint8_t> out;
    bool text = pct(rng) < 40;
    size_t units = std::uniform_int_distribution<size_t>(0, text ? 40 : 330)(rng);
    for (size_t u = 0; u < units; ++u) {
        if (text) {
            std::vector<uint8_t> slot(LOG_SLOT_SIZE, 0);
            int k = kind(rng);
            if (k < 6) slot[0] = '<';
            size_t fill = std::uniform_int_distribution<size_t>(0, LOG_SLOT_SIZE)(rng);
            for (size_t i = 1; i < fill; ++i) slot[i] = uint8_t(k == 3 ? 'x' : byte(rng) | 1);
            out.insert(out.end(), slot.begin(), slot.end());
        } else {
            uint32_t type = types[std::uniform_int_distribution<size_t>(0, 8)(rng)];
            uint8_t rec[52];
            for (auto& b : rec) b = uint8_t(byte(rng));
            if (type == 0xFFFFFFFF) std::memset(rec, 0xFF, sizeof rec);
            for (int i = 0; i < 4; ++i) rec[i] = uint8_t(type >> (24 - 8 * i));
            out.insert(out.end(), rec, rec + sizeof rec);
        }
    }
    if (!out.empty() && pct(rng) < 50) out.resize(std::uniform_int_distribution<size_t>(0, out.size())(rng));
    return out;
}

} // namespace

TEST_F(LogReadersTest, RandomAndMalformedFilesNeverBreakTheReaders)
{
    std::mt19937 rng(20080428);
    std::string dir = boardDir + "/DskVol/files";
    for (int run = 0; run < 200; ++run) {
        std::vector<uint8_t> data;
        if (run % 3 == 0) {
            data.resize(std::uniform_int_distribution<size_t>(0, 20000)(rng));
            for (auto& b : data) b = uint8_t(rng());
        } else {
            data = nearFormat(rng);
        }
        logReadersRun(dir, data.data(), data.size());
        takeOutput();
        // Whatever the log held, retrieval makes whole kilobytes.
        eventLogOpen(EVENT_LOG_BOOT_SIZE, nullptr, 5, 2, 7);
        ASSERT_EQ(eventLogToAscii(), 0);
        EXPECT_EQ(readHostFile("asciilog.bin").size() % 1024, 0u) << "run " << run;
    }
}
