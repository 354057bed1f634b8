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

class MemCommand : public TestBoard {
protected:
    // Runs the interpreter over the lines (each ended with CR) and "q".
    std::string run(const std::string& lines)
    {
        takeOutput();
        peer().type(lines + "q\r");
        bootMemCommand();
        return takeText();
    }
    void poke(uint32_t addr, const char* bytes)
    {
        for (size_t i = 0; bytes[i]; ++i) ASSERT_EQ(sysBusWrite8(addr + uint32_t(i), uint8_t(bytes[i])), 0);
    }
    uint32_t peek32(uint32_t addr)
    {
        uint32_t v = 0;
        EXPECT_EQ(sysBusRead32(addr, &v), 0);
        return v;
    }
};

TEST_F(MemCommand, HelpAndDumpLayouts)
{
    poke(kScratch, "Hello, World 123abc!");
    std::string out = run("r 300000 10\r");
    EXPECT_HAS(out, "\n\nCommands...\n\nr/w(b/w/l)\nExample: r 7c004000 10 \nExample: wb 7c004000 ff \nq to quit\n> ");
    EXPECT_HAS(out, "         0  1  2  3  4  5  6  7  8  9  \n"
                    "00300000 48 65 6c 6c 6f 2c 20 57 6f 72 " + std::string(18, ' ') + "Hello--Wor\n> ");

    out = run("r 0x300000 20\r");
    EXPECT_HAS(out, "         0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f  \n"
                    "00300000 48 65 6c 6c 6f 2c 20 57 6f 72 6c 64 20 31 32 33 Hello--World-123\n"
                    "00300010 61 62 63 21 " + std::string(36, ' ') + "abc-\n> ");

    out = run("r 300000 0\r");
    EXPECT_HAS(out, "         0  \n> ");
    out = run("R 300000 16\r");
    EXPECT_HAS(out, "00300000 48 65 6c 6c 6f 2c 20 57 6f 72 6c 64 20 31 32 33 Hello--World-123\n> ")
        << "a whole line has no padding: ";
}

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

TEST_F(MemCommand, RegistersAndBusErrorsAreReportedNotFaulted)
{
    std::string out = run("r f00e0000 4\r");
    EXPECT_HAS(out, "f00e0000 00 05 00 0a ") << "the PLL status register: ";

    out = run("r 10000000 4\rwl 20000000 1\rww 300001 1\rr 0fffffff 2\r");
    EXPECT_HAS(out, "\n10000000 \nERROR: bus error at address 0x10000000\n> ");
    EXPECT_HAS(out, "ERROR: bus error at address 0x20000000\n");
    EXPECT_HAS(out, "ERROR: bus error at address 0x00300001\n") << "misaligned";
    EXPECT_HAS(out, "\n0fffffff 00 \nERROR: bus error at address 0x10000000\n> ")
        << "the dump stops at the end of DRAM: ";
}

TEST_F(MemCommand, IncompleteAndUnknownLines)
{
    std::string out = run("r\rr 300000\rw 300000\rwl\r\r   \rx 1 2\r");
    EXPECT_EQ(std::string::npos, out.find("Commands...", 10));
    EXPECT_EQ(textcheck::count(out, "ERROR: missing operand: r ADDRESS COUNT\n"), 2u);
    EXPECT_EQ(textcheck::count(out, "ERROR: missing operand: w(b/w/l) ADDRESS VALUE\n"), 2u);
    EXPECT_LACKS(out, "bus error");
}

TEST_F(MemCommand, QuitEndOfInputAndLongLines)
{
    peer().type("quit\r");
    bootMemCommand();
    peer().type("Q\r");
    bootMemCommand();
    takeOutput();
    peer().type("\x04");
    bootMemCommand();
    EXPECT_HAS(takeText(), "\n\nError reading from stream!\nCommand aborted.\n");

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
}

class RamTest : public TestBoard {
protected:
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
    std::string runTest()
    {
        takeOutput();
        bootRamTest();
        return takeText();
    }
    void* hog_ = nullptr;
};

TEST_F(RamTest, PassesAndReleasesTheBlock)
{
    leaveLargestFree(1 << 20);
    size_t before = vx::memFindMax();
    char want[64];
    std::snprintf(want, sizeof want, "Allocating memory of size 0x%08x...\n", unsigned(before));
    EXPECT_EQ(runTest(), std::string(want) +
                             "SDRAM walking 1's test...\nSDRAM walking 0's test...\nSDRAM Address Aliasing test...\n"
                             "SDRAM tests completed successfully.\n\n");
    EXPECT_EQ(vx::memFindMax(), before);
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
    std::string out = runTest();
    EXPECT_HAS(out, want);
    EXPECT_LACKS(out, "completed successfully");
    EXPECT_EQ(vx::memFindMax(), before) << "released on failure";

    // Other words: the aliasing passes, for a bit stuck at either value.
    ASSERT_TRUE(dram.setStuckBit(start + 100, 3, true));
    std::snprintf(want, sizeof want,
                  "SDRAM Address Aliasing test...\nSDRAM Address Aliasing error.\nLocation 0x%08x\n"
                  "Wrote    0x00000000\nRead     0x00000008\n",
                  start + 100);
    out = runTest();
    EXPECT_HAS(out, want);

    ASSERT_TRUE(dram.setStuckBit(start + 100, 3, false));
    std::snprintf(want, sizeof want,
                  "SDRAM Address Aliasing error.\nLocation 0x%08x\nWrote    0xFFFFFFFF\nRead     0xfffffff7\n",
                  start + 100);
    out = runTest();
    EXPECT_HAS(out, want);
    EXPECT_EQ(vx::memFindMax(), before);
}

class FsTest : public TestBoard {
protected:
    std::string runTest(const std::string& answers)
    {
        takeOutput();
        peer().type(answers);
        bootFsTest();
        return takeText();
    }
};

TEST_F(FsTest, CopiesImage1WithChosenPiecesAndLeavesTheTempFile)
{
    std::string image = textcheck::noise(1000);
    writeHostFile("image1", image);
    size_t before = vx::memFindMax();
    std::string out = runTest("2\r100\r64\r");
    EXPECT_HAS(out, "\nInput iterations (0=forever) ");
    EXPECT_HAS(out, "Input write size ");
    EXPECT_HAS(out, "\nTest will run 2 times (forever if 0)\nFile size:  1000\n\nIter 1 of 2 -\n\nIter 2 of 2 -\n");
    EXPECT_LACKS(out, "mismatch");
    EXPECT_EQ(readHostFile("tempcode.bin"), image);
    EXPECT_EQ(readHostFile("image1"), image);
    EXPECT_EQ(vx::memFindMax(), before) << "both buffers released";

    // Write size at least the file size: one write; read size larger than the file.
    out = runTest("1\r5000\r99999999\r");
    EXPECT_HAS(out, "Iter 1 of 1 -\n");
    EXPECT_EQ(readHostFile("tempcode.bin"), image);
    // The exact multiple: pieces end on the file size.
    out = runTest("1\r250\r1\r");
    EXPECT_EQ(readHostFile("tempcode.bin"), image);
    EXPECT_LACKS(out, "failed");
}

TEST_F(FsTest, BadAnswersAndFilesStopWithAMessage)
{
    writeHostFile("image1", textcheck::noise(300));
    for (const char* answers : {"1\r0\r10\r", "1\r10\r0\r", "1\r-5\r10\r"}) {
        std::string out = runTest(answers);
        EXPECT_HAS(out, "ERROR: the write and read sizes must be 1 or more") << answers;
        EXPECT_LACKS(out, "Iter");
    }
    // End of input is asked again.
    std::string out = runTest("\x04" "1\r10\r10\r");
    EXPECT_HAS(out, "Please input a number\n\n\nInput iterations (0=forever) ");
    EXPECT_HAS(out, "Iter 1 of 1 -");

    vx::remove("image1");
    out = runTest("1\r10\r10\r");
    EXPECT_HAS(out, "\nError opening operational code.\n");

    writeHostFile("image1", std::string(0x1000000 + 1, 'x'));
    size_t before = vx::memFindMax();
    out = runTest("1\r10\r10\r");
    EXPECT_HAS(out, "ERROR: 'image1' is larger than the test buffer of 16777216 bytes.");
    EXPECT_LACKS(out, "Iter");
    EXPECT_EQ(vx::memFindMax(), before);

    writeHostFile("image1", std::string(0x1000000, 'y'));
    out = runTest("1\r65536\r4096\r");
    EXPECT_HAS(out, "File size:  16777216\n\nIter 1 of 1 -\n") << "exactly 16 MiB fits";
    EXPECT_LACKS(out, "ERROR");
}

TEST_F(FsTest, BuffersThatCannotBeAllocated)
{
    writeHostFile("image1", textcheck::noise(300));
    void* hog = vx::malloc(vx::memFindMax() - 0x1800000); // room for one buffer only
    ASSERT_NE(hog, nullptr);
    size_t before = vx::memFindMax();
    std::string out = runTest("1\r10\r10\r");
    EXPECT_HAS(out, "ERROR: not enough memory for the file system test buffers");
    EXPECT_EQ(vx::memFindMax(), before);
    vx::free(hog);
}

} // namespace
