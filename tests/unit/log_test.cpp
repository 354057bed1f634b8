// log_test.cpp - the startup and operation text logs and "persist.txt".
#include <gtest/gtest.h>

#include <filesystem>
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
    void start() { logReset(); ASSERT_EQ(logInit(), 0); }

    void write(const std::string& msg) { ASSERT_EQ(logStartupWrite(msg.data(), uint32_t(msg.size())), 0); }

    std::string slotOf(const std::string& file, size_t n) { return readHostFile(file).substr(n * kSlot, kSlot); }
};

} // namespace

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

// Each start rotates the generations once; the dump lists them oldest first.
TEST_F(LogTest, StartsRotateAndTheDumpListsEveryGenerationOldestFirst)
{
    writeHostFile("slog2.txt", "<oldest>");
    for (const char* msg : {"<old startup>", "<mid startup>"}) {
        start();
        write(msg);
    }
    start();
    EXPECT_EQ(logInit(), 0); // only once a start
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
    fillDisk();

    for (int i = 0; i < 2; ++i) write("<fits in the first cluster>"); // slots 1 and 2 end at byte 1776
    EXPECT_EQ(logStartupWrite("<needs a cluster>", 17), 2);
    EXPECT_EQ(persistWrite("<p>", 3), 2);
    EXPECT_EQ(logDump("dump.txt"), 2);

    std::filesystem::remove(hostPath("filler"));
    EXPECT_EQ(persistWrite("<p>", 3), 0);
    EXPECT_EQ(logDump("dump.txt"), 0);
}
