// Boot flash model: command sequences, programming, erasing,
// status polling, faults and persistence in nor.bin.
#include "host/board/norFlash.h"
#include "host/os/hostos.h"

#include <gtest/gtest.h>

#include "support/textCheck.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

using host::NorFlash;

class Nor : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::resetModeSet(host::ResetMode::Throw);
        ASSERT_EQ(dev.powerOn(""), "");
    }
    void w(uint32_t off, uint16_t v) { ASSERT_TRUE(dev.write(off, 2, v)); }
    uint16_t r(uint32_t off)
    {
        uint32_t v = 0;
        EXPECT_TRUE(dev.read(off, 2, v));
        return uint16_t(v);
    }
    void unlock()
    {
        w(0xAAA, 0xAA);
        w(0x554, 0x55);
    }
    void programWord(uint32_t off, uint16_t v)
    {
        unlock();
        w(0xAAA, 0xA0);
        w(off, v);
    }
    void eraseSector(uint32_t off)
    {
        unlock();
        w(0xAAA, 0x80);
        unlock();
        w(off, 0x30);
    }
    // Polls until DQ7 shows the data (or DQ5): the number of busy reads.
    int pollUntilDone(uint32_t off, uint16_t expected, uint16_t* last = nullptr, int limit = 1 << 20)
    {
        for (int n = 0; n < limit; ++n) {
            uint16_t s = r(off);
            if (((s ^ expected) & 0x80) == 0 || (s & 0x20)) {
                if (last) *last = s;
                return n;
            }
        }
        return -1;
    }
    NorFlash dev;
};

// The query table is read whole by the driver's probe test.
TEST_F(Nor, CommandsOutOfOrderReturnToReadArray)
{
    // A broken unlock, then the rest of a program sequence: nothing programmed.
    w(0xAAA, 0xAA);
    w(0x556, 0x55); // wrong address
    w(0xAAA, 0xA0);
    w(0x100, 0x0000);
    EXPECT_EQ(r(0x100), 0xFFFF);
    // Unlocked, then an unknown command.
    unlock();
    w(0xAAA, 0x77);
    w(0x100, 0x0000);
    EXPECT_EQ(r(0x100), 0xFFFF);
    // Erase setup broken after the second unlock's first cycle.
    unlock();
    w(0xAAA, 0x80);
    w(0xAAA, 0xAA);
    w(0xAAA, 0x55);
    w(0x0, 0x30);
    programWord(0x100, 0x1234);
    EXPECT_GE(pollUntilDone(0x100, 0x1234), 0);
    EXPECT_EQ(r(0x100), 0x1234) << "no erase ran, the program did";
    // Query mode leaves on anything but a query command.
    w(0xAA, 0x98);
    w(0x0, 0x12);
    EXPECT_EQ(r(0x100), 0x1234);
    // The unlock addresses decode A10..A0 only: the same cycles in another sector work.
    w(0x100000 + 0xAAA, 0xAA);
    w(0x100000 + 0x554, 0x55);
    w(0x100000 + 0xAAA, 0xA0);
    w(0x200, 0x00FF);
    EXPECT_GE(pollUntilDone(0x200, 0x00FF), 0);
    EXPECT_EQ(r(0x200), 0x00FF);
}

TEST_F(Nor, WordProgramPollsAndOnlyClearsBits)
{
    programWord(0x10, 0x1234);
    uint16_t s1 = r(0x10), s2 = r(0x10);
    EXPECT_EQ(s1 & 0x80, 0x80) << "DQ7 shows the complement of the data";
    EXPECT_NE(s1 & 0x40, s2 & 0x40) << "DQ6 toggles";
    EXPECT_EQ(s1 & 0x20, 0);
    uint64_t busy = 2;
    while (busy < 100 && r(0x10) != 0x1234) ++busy;
    EXPECT_EQ(busy, (NorFlash::kWordProgramNs + NorFlash::kNsPerStatusRead - 1) / NorFlash::kNsPerStatusRead)
        << "busy for as many reads as its time needs";
    EXPECT_EQ(dev.store().word(0x10), 0x1234);

    // 0x1234 -> 0xFF00 needs bits set: the zeros stay, the operation fails with DQ5.
    programWord(0x10, 0xFF00);
    uint16_t last = 0;
    ASSERT_GE(pollUntilDone(0x10, 0xFF00, &last), 0);
    EXPECT_EQ(last & 0x20, 0x20);
    EXPECT_EQ(r(0x10) & 0x20, 0x20) << "status stays until reset";
    w(0x10, 0xF0);
    EXPECT_EQ(r(0x10), 0x1200);
    EXPECT_EQ(dev.counters().wordPrograms, 2u);
}

TEST_F(Nor, WriteBufferProgramsAPageAndAbortsOnMisuse)
{
    const uint32_t at = 0x40; // a buffer page
    unlock();
    w(at, 0x25);
    w(at, 3); // four words
    for (uint16_t i = 0; i < 4; ++i) w(at + 2 * i, uint16_t(0x1000 + i));
    w(at, 0x29);
    EXPECT_GE(pollUntilDone(at + 6, 0x1003), 1);
    for (uint16_t i = 0; i < 4; ++i) EXPECT_EQ(r(at + 2 * i), 0x1000 + i);
    EXPECT_EQ(r(at + 8), 0xFFFF);
    EXPECT_EQ(dev.counters().bufferPrograms, 1u);

    auto expectAborted = [&](const char* why) {
        uint16_t s = r(at);
        EXPECT_EQ(s & 0x02, 0x02) << why;
        w(at, 0xF0);
        EXPECT_EQ(r(at) & 0x02, 0x02) << why << ": a plain reset does not leave the abort";
        unlock();
        w(0xAAA, 0xF0);
        EXPECT_EQ(r(at), 0x1000) << why << ": the abort reset returns to read-array";
    };
    unlock();
    w(at, 0x25);
    w(at, NorFlash::kBufferWords); // one word too many
    expectAborted("count over the buffer");

    unlock();
    w(at, 0x25);
    w(at, 1);
    w(at + 0x20, 0);
    w(at + 0x40, 0); // the next page
    expectAborted("load outside the page");

    unlock();
    w(at, 0x25);
    w(at, 0);
    w(at + 0x20, 0x0);
    w(at, 0x30); // not the confirm
    expectAborted("wrong confirm");
    EXPECT_EQ(r(at + 0x20), 0xFFFF) << "nothing programmed by aborted sequences";

    // A full buffer that would set bits fails with DQ5.
    unlock();
    w(at, 0x25);
    w(at, 0);
    w(at, 0xFFFF);
    w(at, 0x29);
    uint16_t last = 0;
    ASSERT_GE(pollUntilDone(at, 0xFFFF, &last), 0);
    EXPECT_EQ(last & 0xA0, 0x20) << "DQ5 set, DQ7 still the complement";
    w(0, 0xF0);
    EXPECT_EQ(r(at), 0x1000);
}

TEST_F(Nor, SectorEraseTakesItsTimeAndErasesOneSector)
{
    programWord(0x20000, 0x0000);
    pollUntilDone(0x20000, 0);
    programWord(0x40000, 0x0000);
    pollUntilDone(0x40000, 0);
    eraseSector(0x20010);
    uint16_t s = r(0x20000);
    EXPECT_EQ(s & 0x88, 0x08) << "DQ7 0 while erasing, DQ3 erase started";
    uint16_t s2 = r(0x20000);
    EXPECT_NE(s & 0x04, s2 & 0x04) << "DQ2 toggles in the erasing sector";
    int busy = pollUntilDone(0x20000, 0xFFFF);
    EXPECT_EQ(uint64_t(busy + 2), NorFlash::kSectorEraseNs / NorFlash::kNsPerStatusRead);
    EXPECT_EQ(r(0x20000), 0xFFFF);
    EXPECT_EQ(r(0x40000), 0x0000) << "the next sector is untouched";
    EXPECT_EQ(dev.counters().sectorErases, 1u);
}

TEST_F(Nor, ReadsOfAnyWidthAndWrites16BitOnly)
{
    uint32_t v = 0;
    ASSERT_TRUE(dev.read(NorFlash::kSize - 4, 4, v));
    EXPECT_EQ(v, host::NorStore::kResetVectorBranch);
    EXPECT_TRUE(dev.bootCodePresent());
    ASSERT_TRUE(dev.read(host::NorStore::kBootRegion, 1, v));
    EXPECT_EQ(v, uint32_t('t'));
    ASSERT_TRUE(dev.read(host::NorStore::kBootRegion + 1, 1, v));
    EXPECT_EQ(v, uint32_t('a'));
    EXPECT_FALSE(dev.write(0xAAA, 1, 0xAA)) << "byte stores are bus errors";
    // A 32-bit store is two cycles: 0x00AA then 0x0055 at the unlock addresses.
    ASSERT_TRUE(dev.write(0x552, 4, 0x00AA0000));
    EXPECT_EQ(r(0), 0xFFFF);
}

// Failing and hanging operations are met through the driver in its tests.
TEST_F(Nor, PowerCutFallsAfterTheNthOperation)
{
    NorFlash::Faults f;
    f.powerCutAfterOps = 3;
    dev.setFaults(f);
    programWord(0x0, 0x0001);
    pollUntilDone(0, 1);
    eraseSector(0x20000);
    pollUntilDone(0x20000, 0xFFFF);
    unlock();
    w(0x40, 0x25);
    w(0x40, 0);
    w(0x40, 0x4242);
    try {
        w(0x40, 0x29);
        ADD_FAILURE() << "no power cut";
    } catch (const host::PowerCutRequested& cut) {
        EXPECT_HAS(cut.why, "after 3 flash operations");
    }
    EXPECT_EQ(dev.store().word(0x40), 0x4242) << "the third operation is done before the cut";
}

TEST_F(Nor, PersistsWriteThroughInNorBin)
{
    char templ[] = "/tmp/tarnboot-nor-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    std::string dir = templ, path = dir + "/nor.bin";
    ASSERT_EQ(dev.powerOn(path), "");
    EXPECT_FALSE(std::filesystem::exists(path)) << "a new board's flash is made on its first change";
    programWord(0x1000, 0xA55A);
    pollUntilDone(0x1000, 0xA55A);
    ASSERT_EQ(std::filesystem::file_size(path), NorFlash::kSize);
    {
        std::ifstream in(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(uint8_t(bytes[0x1000]), 0xA5);
        EXPECT_EQ(uint8_t(bytes[0x1001]), 0x5A);
        EXPECT_EQ(bytes.compare(host::NorStore::kBootRegion, 8, "tarn8541"), 0) << "factory boot code";
    }
    NorFlash again;
    ASSERT_EQ(again.powerOn(path), "");
    EXPECT_EQ(again.store().word(0x1000), 0xA55A);

    // A file of the wrong size is reported and left as it is.
    std::filesystem::resize_file(path, 1000);
    EXPECT_NE(again.powerOn(path).find("1000 bytes"), std::string::npos);
    EXPECT_TRUE(again.bootCodePresent()) << "factory contents in memory";
    EXPECT_EQ(std::filesystem::file_size(path), 1000u);
    EXPECT_NE(host::NorStore::createFactory(path), "");

    std::filesystem::remove(path);
    EXPECT_EQ(host::NorStore::createFactory(path), "");
    EXPECT_EQ(std::filesystem::file_size(path), NorFlash::kSize);
    std::filesystem::remove_all(dir);
}

} // namespace
