// Boot flash model: command sequences and modes, programming, erasing and
// status polling on the board clock. (Torn states on a power cut, the boot
// region's dead window and nor.bin are met in the flashDev sweep and the
// flash system tests.)
#include "host/board/norFlash.h"
#include "host/os/hostos.h"

#include <gtest/gtest.h>

namespace {

using host::NorFlash;

class Nor : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::resetModeSet(host::ResetMode::Throw);
        host::clockInit(true);
        ASSERT_EQ(dev.powerOn(""), "");
    }
    void w(uint32_t off, uint16_t v) { ASSERT_TRUE(dev.write(off, 2, v)); }
    uint16_t r(uint32_t off) { return dev.read(off, 2, v32) ? uint16_t(v32) : 0xDEAD; }
    void unlock() { w(0xAAA, 0xAA), w(0x554, 0x55); }
    void programWord(uint32_t off, uint16_t v) { unlock(), w(0xAAA, 0xA0), w(off, v); }
    void programBuffer(uint32_t off, const uint16_t* v, uint32_t n)
    {
        unlock(), w(off, 0x25), w(off, uint16_t(n - 1));
        for (uint32_t i = 0; i < n; ++i) w(off + 2 * i, v[i]);
        w(off, 0x29);
    }
    void eraseSector(uint32_t off) { unlock(), w(0xAAA, 0x80), unlock(), w(off, 0x30); }
    // Polls until DQ7 shows the data or DQ5 rises: the busy reads.
    int poll(uint32_t off, uint16_t expected, uint16_t* last = nullptr)
    {
        int n = 0;
        uint16_t s;
        while ((((s = r(off)) ^ expected) & 0x80) && !(s & 0x20) && n < 1 << 20) ++n;
        if (last) *last = s;
        return n;
    }
    NorFlash dev;
    uint32_t v32 = 0;
};

TEST_F(Nor, CommandsModesAndTheWriteBuffer)
{
    w(0xAAA, 0xAA), w(0x556, 0x55), w(0xAAA, 0xA0), w(0x100, 0x0000); // a broken unlock
    unlock(), w(0xAAA, 0x77), w(0x100, 0x0000);                         // an unknown command
    unlock(), w(0xAAA, 0x80), w(0xAAA, 0xAA), w(0xAAA, 0x55), w(0x0, 0x30); // erase setup broken
    EXPECT_EQ(r(0x100), 0xFFFF) << "nothing programmed";
    // The unlock addresses decode A10..A0 only: the same cycles in another sector work.
    w(0x100000 + 0xAAA, 0xAA), w(0x100000 + 0x554, 0x55), w(0x100000 + 0xAAA, 0xA0), w(0x200, 0x00FF);
    EXPECT_EQ(poll(0x200, 0x00FF), 1);
    EXPECT_EQ(r(0x200), 0x00FF);
    // Query mode: only the reset leaves it (the driver's probe test reads the array after it).
    w(0xAA, 0x98), w(0x200, 0x1234);
    EXPECT_EQ(r(0x20), 0x51) << "still in query mode";
    w(0x200, 0xF0);
    EXPECT_EQ(r(0x200), 0x00FF) << "the reset leaves the mode";
    // The write buffer: a page programmed; misuse aborts (DQ1) until the abort reset.
    const uint32_t at = 0x40;
    const uint16_t words[4] = {0x1000, 0x1001, 0x1002, 0x1003};
    programBuffer(at, words, 4);
    EXPECT_EQ(poll(at + 6, 0x1003), 1);
    for (uint16_t i = 0; i < 4; ++i) EXPECT_EQ(r(at + 2 * i), 0x1000 + i);
    EXPECT_EQ(r(at + 8), 0xFFFF);
    const std::vector<std::vector<std::pair<uint32_t, uint16_t>>> misuse = {
        {{at, 0x25}, {at, NorFlash::kBufferWords}},              // count over the buffer
        {{at, 0x25}, {at, 1}, {at + 0x20, 0}, {at + 0x40, 0}},   // load outside the page
        {{at, 0x25}, {at, 0}, {at + 0x20, 0}, {at, 0x30}},       // not the confirm
    };
    for (const auto& seq : misuse) {
        unlock();
        for (auto [a, v] : seq) w(a, v);
        EXPECT_EQ(r(at) & 0x02, 0x02);
        w(at, 0xF0);
        EXPECT_EQ(r(at) & 0x02, 0x02) << "a plain reset does not leave the abort";
        unlock(), w(0xAAA, 0xF0);
        EXPECT_EQ(r(at), 0x1000) << "the abort reset returns to read-array";
    }
    EXPECT_EQ(r(at + 0x20), 0xFFFF) << "nothing programmed by aborted sequences";
    EXPECT_TRUE(dev.read(NorFlash::kSize - 4, 4, v32) && v32 == host::NorStore::kResetVectorBranch);
    EXPECT_TRUE(dev.read(host::NorStore::kBootRegion + 1, 1, v32) && v32 == 'a') << "reads of any width";
    EXPECT_FALSE(dev.write(0xAAA, 1, 0xAA)) << "byte stores are bus errors";
}

TEST_F(Nor, ProgramShowsStatusUntilItsTimeHasPassed)
{
    programWord(0x10, 0x1234);
    EXPECT_EQ(r(0x10) & 0xA0, 0x80) << "status, not data: DQ7 the complement, no DQ5";
    EXPECT_EQ(r(0x10), 0x1234) << "done at the poll that reaches 64 us (50 us each)";
    EXPECT_EQ(dev.counters().statusReads, 1u);
    // A sector erase: 512 ms of 50 us polls, DQ3 and DQ7 0, DQ2 toggling in its sector.
    programWord(0x40000, 0x0000), poll(0x40000, 0);
    eraseSector(0x20010);
    EXPECT_EQ(r(0x20000) & 0xCC, 0x4C) << "DQ6 and DQ2 toggle";
    EXPECT_EQ(r(0x20000) & 0xCC, 0x08);
    EXPECT_EQ(r(0x40000) & 0x04, 0) << "no DQ2 outside the erasing sector";
    EXPECT_EQ(uint64_t(poll(0x20000, 0xFFFF) + 4), NorFlash::typicalNs(true, false, false) / NorFlash::kPollNs);
    EXPECT_EQ(r(0x40000), 0x0000) << "the next sector is untouched";
    // 0x1234 -> 0xFF00 needs bits set: DQ5 at the maximum time, the zeros stay.
    programWord(0x10, 0xFF00);
    uint16_t last = 0;
    const uint64_t maxPolls = (NorFlash::maximumNs(false, false, false) + NorFlash::kPollNs - 1) / NorFlash::kPollNs;
    EXPECT_EQ(uint64_t(poll(0x10, 0xFF00, &last) + 1), maxPolls);
    EXPECT_EQ((last ^ 0xFF00) & 0xA0, 0xA0) << "DQ5, DQ7 still the complement";
    w(0x10, 0xF0);
    EXPECT_EQ(r(0x10), 0x1200);
    // The injected race: DQ5 in the very read that completes the program.
    NorFlash::Faults f;
    f.program = NorFlash::Fault::Race;
    dev.setFaults(f);
    programWord(0x100, 0x1234);
    poll(0x100, 0x1234, &last);
    EXPECT_EQ((last & 0x20) | ((last ^ 0x1234) & 0x80), 0xA0) << "a check that stops here calls it failed";
    EXPECT_EQ(r(0x100), 0x1234) << "the datasheet's second DQ7 read shows it done";
}

} // namespace
