// log_test.cpp - the startup and operation text logs and "persist.txt".
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "log/log.h"
#include "osapi.h"
#include "support/testBoard.h"

namespace {

constexpr size_t kSlot = 592;

// A slot as the format defines it: text, CR LF NUL, zero fill.
std::string slot(const std::string& text)
{
    std::string s = text.substr(0, 589) + "\r\n";
    s.resize(kSlot, '\0');
    return s;
}

class LogTest : public TestBoard {
protected:
    // A new start of the board: module state from power-on, then logInit.
    void start()
    {
        logReset();
        ASSERT_EQ(logInit(), 0);
    }

    void write(const std::string& msg) { ASSERT_EQ(logStartupWrite(msg.data(), uint32_t(msg.size())), 0); }

    std::string slotOf(const std::string& file, size_t n) { return readHostFile(file).substr(n * kSlot, kSlot); }

    std::string console()
    {
        vx::fflushStdout();
        return takeOutput();
    }
};

} // namespace

TEST_F(LogTest, StartsRotateTheGenerations)
{
    writeHostFile("slog2.txt", "oldest");
    for (const char* msg : {"<first start>", "<second start>", "<third start>"}) {
        start();
        EXPECT_EQ(readHostFile("slog0.txt"), "");
        EXPECT_EQ(readHostFile("olog0.txt"), "");
        write(msg);
    }
    EXPECT_EQ(readHostFile("slog2.txt"), slot("<first start>"));
    EXPECT_EQ(readHostFile("slog1.txt"), slot("<second start>"));
    EXPECT_EQ(readHostFile("slog0.txt"), slot("<third start>"));
    EXPECT_TRUE(hostFileExists("olog2.txt"));

    // Only once a start.
    write("<more>");
    EXPECT_EQ(logInit(), 0);
    EXPECT_EQ(readHostFile("slog0.txt").size(), 2 * kSlot);
}

TEST_F(LogTest, GarbageAndTruncatedFilesAreRotatedLikeAnyOther)
{
    writeHostFile("slog0.txt", std::string("\xff\x00<trunc", 8));
    writeHostFile("olog1.txt", std::string(5000, '\x01'));
    start();
    EXPECT_EQ(readHostFile("slog1.txt"), std::string("\xff\x00<trunc", 8));
    EXPECT_EQ(readHostFile("olog2.txt"), std::string(5000, '\x01'));
    EXPECT_EQ(readHostFile("slog0.txt"), "");
}

TEST_F(LogTest, MessagesFillStartupThenCycleThroughOperationLog)
{
    EXPECT_EQ(logStartupWrite("<x>", 3), 2); // names not set yet
    start();
    EXPECT_EQ(logStartupWrite(nullptr, 3), 2);
    EXPECT_EQ(logStartupWrite("<x>", 0), 2);
    for (int n = 0; n < 65; ++n) write("<" + std::to_string(n) + ">");
    EXPECT_EQ(readHostFile("slog0.txt").size(), 32 * kSlot);
    EXPECT_EQ(slotOf("slog0.txt", 31), slot("<31>"));
    EXPECT_EQ(slotOf("olog0.txt", 0), slot("<64>")); // the 65th overwrote the 33rd
    EXPECT_EQ(slotOf("olog0.txt", 1), slot("<33>"));
    EXPECT_EQ(readHostFile("olog0.txt").size(), 32 * kSlot);
}

TEST_F(LogTest, LongMessagesAreCutTo589Bytes)
{
    start();
    for (size_t len : {589u, 590u, 600u}) {
        std::string msg = "<" + std::string(len - 1, 'm');
        write(msg);
    }
    for (size_t n = 0; n < 3; ++n) {
        std::string s = slotOf("slog0.txt", n);
        EXPECT_EQ(s.substr(0, 589), "<" + std::string(588, 'm'));
        EXPECT_EQ(s.substr(589), std::string("\r\n\0", 3));
    }
}

TEST_F(LogTest, PersistRingStaysWithinItsSlots)
{
    ASSERT_EQ(persistInit(), 2); // no file yet
    ASSERT_EQ(persistWrite("<a>", 3), 0);
    EXPECT_EQ(readHostFile("persist.txt"), std::string(kSlot, '\0') + slot("<a>")); // slot 1
    EXPECT_EQ(persistWrite(nullptr, 1), 2);
    EXPECT_EQ(persistWrite("<a>", 0), 2);

    // A file of k whole slots: the next message goes to slot k + 1.
    writeHostFile("persist.txt", slot("<0>") + slot("<1>") + "partial");
    ASSERT_EQ(persistInit(), 0);
    ASSERT_EQ(persistWrite("<3>", 3), 0);
    EXPECT_EQ(slotOf("persist.txt", 3), slot("<3>"));

    for (int i = 4; i <= 33; ++i) persistWrite("<n>", 3);
    EXPECT_EQ(readHostFile("persist.txt").size(), 32 * kSlot); // 31 wrapped to 0
    EXPECT_EQ(slotOf("persist.txt", 0), slot("<n>"));

    // A file an earlier writer let grow past its slots is not grown further.
    std::string big;
    for (int i = 0; i < 40; ++i) big += slot("<old>");
    writeHostFile("persist.txt", big);
    ASSERT_EQ(persistInit(), 0);
    ASSERT_EQ(persistWrite("<new>", 5), 0);
    EXPECT_EQ(readHostFile("persist.txt").size(), big.size());
    EXPECT_EQ(slotOf("persist.txt", 0), slot("<new>"));
}

TEST_F(LogTest, PersistPrintShowsEachSlotWithinItsBytes)
{
    EXPECT_EQ(persistPrint(), 2);
    EXPECT_NE(console().find("Failed to print the file contents of persist.txt fileName"), std::string::npos);

    // A slot without a NUL, then a partial one.
    std::string noNul(kSlot, 'A');
    writeHostFile("persist.txt", slot("<one>") + noNul + "<tail");
    EXPECT_EQ(persistPrint(), 0);
    std::string out = console();
    std::string size = std::to_string(2 * kSlot + 5);
    EXPECT_NE(out.find("File size of persist.txt file is " + size + "\r"), std::string::npos);
    size_t text = out.find("<one>");
    ASSERT_NE(text, std::string::npos);
    // The console maps LF to CR LF.
    EXPECT_EQ(out.substr(text), "<one>\r\r\n" + noNul + "<tail");
}

TEST_F(LogTest, DumpListsMessageSlotsOfEveryGenerationOldestFirst)
{
    start();
    write("<old startup>");
    start();
    write("<mid startup>");
    start();
    for (int n = 0; n < 33; ++n) write(n == 1 ? "no bracket" : "<now " + std::to_string(n) + ">");
    // A truncated generation with a slot lacking its NUL, and garbage.
    std::string raw(kSlot, 'B');
    raw[0] = '<';
    writeHostFile("olog1.txt", raw + slot("<cut") .substr(0, 3));
    writeHostFile("olog2.txt", std::string(3000, '\xff'));

    ASSERT_EQ(logDump("dump.txt"), 0);
    std::string want = "- Startup Log N-2 - slog2.txt\r\n<old startup>\r\n\r\n\r\n"
                       "- Operation Log N-2 - olog2.txt\r\n\r\n\r\n"
                       "- Startup Log N-1 - slog1.txt\r\n<mid startup>\r\n\r\n\r\n"
                       "- Operation Log N-1 - olog1.txt\r\n" + raw + "<cu\r\n\r\n"
                       "- Startup Log N-0 - slog0.txt\r\n";
    for (int n = 0; n < 32; ++n)
        if (n != 1) want += "<now " + std::to_string(n) + ">\r\n";
    want += "\r\n\r\n- Operation Log N-0 - olog0.txt\r\n<now 32>\r\n\r\n\r\n";
    EXPECT_EQ(readHostFile("dump.txt"), want);

    int fd = vx::open("copy.txt", vx::WRONLY | vx::CREAT, 0644);
    ASSERT_GE(fd, 3);
    EXPECT_EQ(logFileCopy(fd, "slog0.txt", 2), int32_t(std::string("<now 0>\r\n").size()));
    EXPECT_EQ(logFileCopy(fd, "missing.txt", 32), 0);
    vx::close(fd);

    EXPECT_EQ(logDump("nodir/dump.txt"), 2);
}

TEST_F(LogTest, WritersReportAFullDisk)
{
    start();
    write("<before>");
    // Fill every free cluster: a write that needs a new cluster fails.
    vx::StatFs fs{};
    int fd = vx::open("slog0.txt", vx::RDONLY, 0);
    ASSERT_EQ(vx::fstatfs(fd, &fs), 0);
    vx::close(fd);
    std::ofstream(hostPath("filler")).close();
    std::filesystem::resize_file(hostPath("filler"), uint64_t(fs.f_bfree) * uint64_t(fs.f_bsize));

    write("<fits in the first cluster>"); // slots 1 and 2 end at byte 1776
    write("<fits in the first cluster>");
    EXPECT_EQ(logStartupWrite("<needs a cluster>", 17), 2);
    EXPECT_EQ(persistWrite("<p>", 3), 2);
    EXPECT_EQ(logDump("dump.txt"), 2);

    std::filesystem::remove(hostPath("filler"));
    EXPECT_EQ(persistWrite("<p>", 3), 0);
    EXPECT_EQ(logDump("dump.txt"), 0);
}
