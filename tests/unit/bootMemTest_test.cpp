// The memory command interpreter, the RAM test and the file system test.
#include "bsp/cpu/tarn8541/vxworks/start/bootMemTest.h"
#include "host/board/board.h"
#include "osapi.h"
#include "support/testBoard.h"
#include "support/textCheck.h"
#include "sysBus.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr uint32_t kScratch = 0x00300000; // code load area: DRAM no block owns

class MemTests : public TestBoard {
protected:
    // Runs a test or the memory commands with the answers typed; its console text.
    std::string run(void (*command)(), const std::string& typed = "")
    {
        takeOutput();
        peer().type(typed);
        command();
        return takeText();
    }
    // The interpreter over the lines (each ended with CR) and "q".
    std::string run(const std::string& lines) { return run(bootMemCommand, lines + "q\r"); }
    uint32_t peek32(uint32_t addr)
    {
        uint32_t v = 0;
        EXPECT_EQ(sysBusRead32(addr, &v), 0);
        return v;
    }
    // Leaves a free block of about `bytes` as the pool's largest; returns where
    // the RAM test's block will start.
    uint32_t leaveLargestFree(size_t bytes)
    {
        hog_ = vx::malloc(vx::memFindMax() - bytes);
        EXPECT_NE(hog_, nullptr);
        void* probe = vx::malloc(16);
        uint32_t at = vx::ptrToBoardAddr(probe);
        vx::free(probe);
        return at;
    }
    void TearDown() override
    {
        host::board().dram().clearStuckBit();
        if (hog_) vx::free(hog_);
        TestBoard::TearDown();
    }
    void* hog_ = nullptr;
};
using MemCommand = MemTests;
using RamTest = MemTests;
using FsTest = MemTests;

TEST_F(MemCommand, WritesByWidth)
{
    std::string out = run("wl 300000 0\rwb 300000 1ff\rWw 300002 abcd\rwl 300004 deadbeef\rWL 0x300008 0X11\r"
                          "wL 30000c -1\r");
    EXPECT_EQ(peek32(kScratch), 0xFF00ABCDu) << "wb stores the low 8 bits, ww 16";
    EXPECT_EQ(peek32(kScratch + 4), 0xDEADBEEFu);
    EXPECT_EQ(peek32(kScratch + 8), 0x11u);
    EXPECT_EQ(peek32(kScratch + 12), 0xFFFFFFFFu);
    EXPECT_LACKS(out, "ERROR");

    out = run("w 300000 5\rwx 300000 5\rwl 300010 123456789\r");
    EXPECT_EQ(peek32(kScratch), 0xFF00ABCDu) << "no width letter stores nothing";
    EXPECT_HAS(out, "ERROR: nothing stored: give the width with wb, ww or wl");
    EXPECT_EQ(peek32(kScratch + 16), 0xFFFFFFFFu) << "an out-of-range number converts as the C library's";
}

TEST_F(MemCommand, QuitEndOfInputAndLongLines)
{
    // A line longer than 79 characters is refused whole; its rest is not a command.
    sysBusWrite32(kScratch, 0);
    std::string longLine = "wl 300000 1" + std::string(80, ' ') + "wl 300000 2";
    std::string out = run(longLine + "\r");
    EXPECT_HAS(out, "ERROR: command line longer than 79 characters, ignored");
    EXPECT_EQ(peek32(kScratch), 0u);
    std::string exact = "wl 300000 3" + std::string(79 - 11, ' ');
    ASSERT_EQ(exact.size(), 79u);
    out = run(exact + "\r");
    EXPECT_LACKS(out, "ERROR");
    EXPECT_EQ(peek32(kScratch), 3u);
    run(std::string("wl 300000 4\0\r\0wl 300000 5\r", 25)); // a zero byte costs no command
    EXPECT_EQ(peek32(kScratch), 5u);
}

TEST_F(RamTest, StuckBitsAreFoundAndNamed)
{
    uint32_t start = leaveLargestFree(1 << 20);
    size_t before = vx::memFindMax();
    auto& dram = host::board().dram();

    // A probed word (power-of-two offset): the walking test finds it.
    ASSERT_TRUE(dram.setStuckBit(start + 64, 5, false));
    char want[160];
    std::snprintf(want, sizeof want,
                  "SDRAM walking 1's test failed.\nLocation 0x%08x\nWrote    0x00000020\nRead     0x00000000\n",
                  start + 64);
    std::string out = run(bootRamTest);
    EXPECT_HAS(out, want);
    EXPECT_LACKS(out, "completed successfully");
    EXPECT_EQ(vx::memFindMax(), before) << "released on failure";

    // Other words: the aliasing pass finds them.
    ASSERT_TRUE(dram.setStuckBit(start + 100, 3, true));
    std::snprintf(want, sizeof want,
                  "SDRAM Address Aliasing test...\nSDRAM Address Aliasing error.\nLocation 0x%08x\n"
                  "Wrote    0x00000000\nRead     0x00000008\n",
                  start + 100);
    out = run(bootRamTest);
    EXPECT_HAS(out, want);

    EXPECT_EQ(vx::memFindMax(), before);
}

TEST_F(FsTest, BadAnswersAndFilesStopWithAMessage)
{
    writeHostFile("image1", textcheck::noise(300));
    for (const char* answers : {"1\r0\r10\r", "1\r10\r0\r", "1\r-5\r10\r"}) {
        std::string out = run(bootFsTest, answers);
        EXPECT_HAS(out, "ERROR: the write and read sizes must be 1 or more") << answers;
        EXPECT_LACKS(out, "Iter");
    }
    // End of input is asked again.
    std::string out = run(bootFsTest, "\x04" "1\r10\r10\r");
    EXPECT_HAS(out, "Please input a number\n\n\nInput iterations (0=forever) ");
    EXPECT_HAS(out, "Iter 1 of 1 -");

    vx::remove("image1");
    out = run(bootFsTest, "1\r10\r10\r");
    EXPECT_HAS(out, "\nError opening operational code.\n");

    writeHostFile("image1", std::string(0x1000000, 'x')); // the largest fits (the disk has no room for its copy)
    EXPECT_HAS(run(bootFsTest, "1\r8388608\r8388608\r"), "File size:  16777216\n\nIter 1 of 1 -");
    writeHostFile("image1", std::string(0x1000000 + 1, 'x'));
    size_t before = vx::memFindMax();
    out = run(bootFsTest, "1\r10\r10\r");
    EXPECT_HAS(out, "ERROR: 'image1' is larger than the test buffer of 16777216 bytes.");
    EXPECT_LACKS(out, "Iter");
    EXPECT_EQ(vx::memFindMax(), before);
}

} // namespace
