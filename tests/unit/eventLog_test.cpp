// eventLog_test.cpp - the event log store "log2.bin" and its retrieval as text.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "host/os/hostos.h"
#include "log/eventLog.h"
#include "osapi.h"
#include "support/testBoard.h"

namespace {

constexpr uint32_t kSlots = 315;
constexpr size_t kFileBytes = kSlots * 52;

std::string be32(uint32_t v)
{
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// A record as the operational code writes it, made from the layout here.
std::string eventRecord(uint32_t type, const std::string& file, int32_t line, uint32_t task, uint32_t code,
                        uint32_t time)
{
    std::string name = file.substr(0, 32);
    name.resize(32, ' ');
    return be32(type) + name + be32(uint32_t(line)) + be32(task) + be32(code) + be32(time);
}

std::string exceptionRecord(uint32_t type, uint32_t srr0, uint32_t srr1, uint32_t msr, uint32_t dsisr,
                            uint32_t dar, uint32_t time)
{
    return be32(type) + be32(srr0) + be32(srr1) + be32(msr) + be32(dsisr) + be32(dar) + be32(time)
           + std::string(24, '\0');
}

std::string freeSlots(size_t n) { return std::string(n * 52, '\xff'); }

class EventLogTest : public TestBoard {
protected:
    void SetUp() override
    {
        TestBoard::SetUp();
        flashAccessLockCreate();
    }

    int open(int mode = 5) { return eventLogOpen(EVENT_LOG_BOOT_SIZE, nullptr, mode, 2, 7); }

    // The log's retrieval text, as sent.
    std::string ascii()
    {
        EXPECT_EQ(eventLogToAscii(), 0);
        return readHostFile("asciilog.bin");
    }

    // Lines of the retrieval text after its two heading lines, padding dropped.
    std::vector<std::string> listed()
    {
        std::string text = ascii();
        std::vector<std::string> lines;
        size_t pos = 0;
        for (size_t end; (end = text.find("\r\n", pos)) != std::string::npos; pos = end + 2)
            lines.push_back(text.substr(pos, end - pos));
        if (lines.size() >= 2) lines.erase(lines.begin(), lines.begin() + 2);
        return lines;
    }
};

} // namespace

TEST_F(EventLogTest, MissingFileIsCreatedAndEmptyFilesStayAsTheyAre)
{
    EXPECT_EQ(open(), 0);
    EXPECT_TRUE(hostFileExists("log2.bin"));
    EXPECT_EQ(readHostFile("log2.bin"), "");
    EXPECT_EQ(eventLogSlotCount(), kSlots);
    EXPECT_EQ(eventLogNextSlot(), 0u);
}

TEST_F(EventLogTest, FullOrMalformedLogsAreEmptiedAtOpen)
{
    std::string used = eventRecord(1, "a.c", 1, 2, 3, 4);
    std::string full;
    for (uint32_t i = 0; i < kSlots; ++i) full += used;
    std::string gap = used + used + used + freeSlots(1) + used + used + used + used;
    gap += freeSlots(kSlots - 8);

    for (const std::string& content : {full, gap}) {
        eventLogReset();
        writeHostFile("log2.bin", content);
        ASSERT_EQ(open(), 0);
        EXPECT_EQ(readHostFile("log2.bin"), freeSlots(kSlots));
        EXPECT_EQ(eventLogNextSlot(), 0u);
    }
}

TEST_F(EventLogTest, ValidLogKeepsItsRecordsAndNextSlot)
{
    std::string content;
    for (int i = 0; i < 10; ++i) content += eventRecord(1, "x.c", i, 0, 0, 0);
    content += freeSlots(kSlots - 10);
    writeHostFile("log2.bin", content);
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(eventLogNextSlot(), 10u);
    EXPECT_EQ(readHostFile("log2.bin"), content);
}

TEST_F(EventLogTest, ShortAndOverlongFilesAreReadWithinTheBuffer)
{
    // A record and a cut-off one: what the file lacks counts as free.
    writeHostFile("log2.bin", eventRecord(2, "e.c", 1, 2, 3, 4) + std::string("\0\0\0\1xyz", 7));
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(eventLogNextSlot(), 2u);

    // Longer than the store: only the slots are read, the rest left alone.
    eventLogReset();
    std::string longer = eventRecord(1, "a.c", 1, 0, 0, 0) + freeSlots(kSlots - 1) + std::string(5000, 'Z');
    writeHostFile("log2.bin", longer);
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(eventLogNextSlot(), 1u);
    EXPECT_EQ(readHostFile("log2.bin"), longer);
}

TEST_F(EventLogTest, ModeOffReadsButNeitherScansStoresNorShows)
{
    std::string full;
    for (uint32_t i = 0; i < kSlots; ++i) full += eventRecord(1, "a.c", 1, 0, 0, 0);
    writeHostFile("log2.bin", full);
    ASSERT_EQ(open(EVENT_LOG_MODE_OFF), 0);
    EventLogRecord rec;
    eventLogRecordBuild(EL_TYPE_EVENT, "b.c", 2, 3, &rec);
    EXPECT_EQ(eventLogStore(&rec, 0), -1);
    EXPECT_EQ(readHostFile("log2.bin"), full);
    EXPECT_NE(ascii().find("Message Log Empty"), std::string::npos);
}

TEST_F(EventLogTest, StoresRewriteTheWholeFileAndAFullLogStartsOver)
{
    ASSERT_EQ(open(), 0);
    EventLogRecord rec;
    eventLogRecordBuild(EL_TYPE_ERROR, "first.c", 7, 0x55, &rec);
    EXPECT_EQ(eventLogStore(&rec, 0), 0);
    std::string file = readHostFile("log2.bin");
    ASSERT_EQ(file.size(), kFileBytes);
    EXPECT_EQ(file.substr(0, 52), std::string(reinterpret_cast<char*>(rec.bytes), 52));
    EXPECT_EQ(file.substr(52), freeSlots(kSlots - 1));

    EXPECT_EQ(eventLogStore(&rec, 1), -1); // flag 1 stores nothing
    EXPECT_EQ(eventLogNextSlot(), 1u);

    for (uint32_t i = 1; i < kSlots; ++i) eventLogWrite("fill.c", int32_t(i), i);
    EXPECT_EQ(eventLogNextSlot(), kSlots);
    EXPECT_EQ(eventLogStore(&rec, 1), -1); // full: flag 1 leaves it as it is
    EXPECT_EQ(readHostFile("log2.bin").substr(0, 52), file.substr(0, 52));

    eventLogWrite("after.c", 99, 1); // full: emptied, this record first
    EXPECT_EQ(eventLogNextSlot(), 1u);
    file = readHostFile("log2.bin");
    EXPECT_EQ(file.substr(4, 7), "after.c");
    EXPECT_EQ(file.substr(52), freeSlots(kSlots - 1));
}

TEST_F(EventLogTest, RecordBuildKeepsTheBaseNameCutAndPadded)
{
    vx::clockSettime(90061, 0);
    struct Case {
        const char* in;
        std::string want;
    } cases[] = {
        {"abcdefghijklmnopqrstuvwxyz0123456789ABCD", "abcdefghijklmnopqrstuvwxyz012345"},
        {"/vob/src/log/eventLog.c", "eventLog.c" + std::string(22, ' ')},
        {"C:\\src\\mixed/dir\\x.cpp", "x.cpp" + std::string(27, ' ')},
        {"dir/", std::string(32, ' ')},
    };
    for (const auto& c : cases) {
        EventLogRecord rec;
        eventLogRecordBuild(EL_TYPE_EVENT, c.in, -5, 0xDEADBEEF, &rec);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(rec.bytes + 4), 32), c.want) << c.in;
        EXPECT_EQ(eventLogWordGet(&rec, EL_OFF_TYPE), 1u);
        EXPECT_EQ(int32_t(eventLogWordGet(&rec, EL_OFF_LINE)), -5);
        EXPECT_EQ(eventLogWordGet(&rec, EL_OFF_TASK), uint32_t(vx::taskIdSelf()));
        EXPECT_EQ(eventLogWordGet(&rec, EL_OFF_CODE), 0xDEADBEEFu);
        EXPECT_EQ(eventLogWordGet(&rec, EL_OFF_TIME), 90061u);
    }
}

namespace {
int hookCalls = 0;
void countHook() { ++hookCalls; }
} // namespace

TEST_F(EventLogTest, WriteFromInterruptContextCallsTheHookFirst)
{
    ASSERT_EQ(eventLogOpen(EVENT_LOG_BOOT_SIZE, countHook, 5, 2, 7), 0);
    hookCalls = 0;
    eventLogWrite("task.c", 1, 1);
    EXPECT_EQ(hookCalls, 0);
    host::intContextSet(true);
    eventLogWrite("isr.c", 2, 2);
    host::intContextSet(false);
    EXPECT_EQ(hookCalls, 1);
    EXPECT_EQ(eventLogNextSlot(), 2u);
}

TEST_F(EventLogTest, ClosedLogSaysSoAndShowsEmpty)
{
    EXPECT_EQ(eventLogOpen(0x7FFFFFFF, nullptr, 5, 2, 7), -1);
    vx::fflushStdout();
    EXPECT_NE(takeOutput().find("Cannot malloc enough memory to create log!"), std::string::npos);
    eventLogWrite("a.c", 1, 1);
    EXPECT_FALSE(hostFileExists("log2.bin"));
    EXPECT_EQ(ascii().substr(0, 19), "\r\nMessage Log Empty");
}

TEST_F(EventLogTest, UncreatableFileLeavesALogInMemory)
{
    std::filesystem::create_directory(hostPath("log2.bin"));
    ASSERT_EQ(open(), 0);
    vx::fflushStdout();
    std::string out = takeOutput();
    EXPECT_NE(out.find("Could not create log2.bin in file system on DiskOnChip\r\n\r\n"), std::string::npos);
    EXPECT_NE(out.find("DiskOnChip may be corrupted"), std::string::npos);
    eventLogWrite("mem.c", 3, 4);
    EXPECT_EQ(eventLogNextSlot(), 1u);
    EXPECT_EQ(listed().size(), 1u);
}

TEST_F(EventLogTest, EveryRecordTypeRendersNewestFirst)
{
    std::string content = eventRecord(1, "bootApp.c", 42, 0x3FFE2C0, 0x1234, 90061)
                          + eventRecord(2, "drv.c", -1, 0xAB, 0xFFFFFFFF, 0)
                          + exceptionRecord(3, 0x10, 0x20, 0x30, 0x40, 0x50, 86399)
                          + exceptionRecord(4, 1, 2, 3, 4, 5, 3600)
                          + exceptionRecord(0x300, 0xFFF00100, 0x00029200, 0x00021200, 0x02000000, 0xDEAD0000, 61)
                          + exceptionRecord(0x1100, 9, 8, 7, 6, 5, 4294967295u)
                          + exceptionRecord(0, 1, 2, 3, 4, 5, 6) + exceptionRecord(5, 0, 0, 0, 0, 0, 0);
    content += freeSlots(kSlots - 8);
    writeHostFile("log2.bin", content);
    ASSERT_EQ(open(), 0);

    std::string text = ascii();
    EXPECT_EQ(text.substr(0, 115), std::string(50, ' ') + "Time\r\n"
                                       + "         File   Line  TaskID    Code           d  h  m  s\r\n");
    std::vector<std::string> want = {
        "CORRUPT ENTRY >>>>>>>00000005 00000000 00000000 00000000 00000000 00000000",
        "CORRUPT ENTRY >>>>>>>00000000 00000001 00000002 00000003 00000004 00000005",
        "Exc 0x1100    > srr0:00000009 srr1: 00000008 msr:00000007 dsisr:00000006 dar:00000005  49710  6 28 15",
        "Exc 0x0300    > srr0:FFF00100 srr1: 00029200 msr:00021200 dsisr:02000000 dar:DEAD0000     0  0  1  1",
        "Watchdog      > srr0:00000001 srr1: 00000002 msr:00000003 dsisr:00000004 dar:00000005     0  1  0  0",
        "Machine Check > srr0:00000010 srr1: 00000020 msr:00000030 dsisr:00000040 dar:00000050     0 23 59 59",
        "ERROR> drv.c                              -1 000000AB FFFFFFFF         0  0  0  0",
        "EVENT> bootApp.c                          42 03FFE2C0 00001234         1  1  1  1",
    };
    EXPECT_EQ(listed(), want);
    EXPECT_EQ(text.size() % 1024, 0u);
    EXPECT_EQ(text.find_first_not_of(' ', text.rfind("\r\n") + 2), std::string::npos);
}

TEST_F(EventLogTest, DamagedNameFieldKeepsTheLineWhole)
{
    std::string rec = eventRecord(1, std::string("ab\0\x01\x7f", 5) + "cd", 1, 2, 3, 4);
    writeHostFile("log2.bin", rec + freeSlots(kSlots - 1));
    ASSERT_EQ(open(), 0);
    std::vector<std::string> lines = listed();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, 16), "EVENT> ab...cd  ");
    EXPECT_EQ(lines[0].size(), 81u);
}

TEST_F(EventLogTest, FullLogIsShownOnceAndEmptyLogIsOneBlock)
{
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(ascii(), "\r\nMessage Log Empty" + std::string(1005, ' '));

    // A walk over a buffer with every slot used ends after the last slot (a
    // bounded loop here, so a walk that cycles fails instead of hanging).
    std::vector<uint8_t> all(EVENT_LOG_BOOT_SIZE, 0x11);
    char out[EVENT_LOG_TEXT_LEN] = {};
    int32_t cursor = eventLogFormat(all.data(), EVENT_LOG_NONE, out);
    uint32_t shown = 1;
    while (cursor != EVENT_LOG_NONE) {
        out[0] = '\0';
        cursor = eventLogFormat(all.data(), cursor, out);
        ++shown;
        ASSERT_LE(shown, kSlots);
    }
    EXPECT_EQ(shown, kSlots);

    // The store's own full log, as retrieval writes it.
    for (uint32_t i = 0; i < kSlots; ++i) eventLogWrite("f.c", int32_t(i), i);
    std::vector<std::string> lines = listed();
    ASSERT_EQ(lines.size(), kSlots);
    EXPECT_NE(lines.front().find(" 314 "), std::string::npos);
    EXPECT_NE(lines.back().find("    0 "), std::string::npos);
}

TEST_F(EventLogTest, PaddingOnlyUpToTheNextKilobyte)
{
    // 2 heading lines (115 bytes), 11 event lines (83) and 10 exception lines (102): 2048 bytes.
    ASSERT_EQ(open(), 0);
    EventLogRecord rec;
    for (int i = 0; i < 11; ++i) eventLogWrite("e.c", 1000 + i, 0);
    for (int i = 0; i < 10; ++i) {
        eventLogExceptionBuild(EL_TYPE_WATCHDOG, 1, 2, 3, 4, 5, &rec);
        eventLogStore(&rec, 0);
    }
    std::string text = ascii();
    EXPECT_EQ(text.size(), 2048u);
    EXPECT_EQ(text.substr(2046), "\r\n");

    eventLogWrite("e.c", 1, 0);
    EXPECT_EQ(ascii().size(), 3072u);
}

TEST_F(EventLogTest, FailedConversionIsNotSent)
{
    ASSERT_EQ(open(), 0);
    for (int i = 0; i < 60; ++i) eventLogWrite("big.c", i, 0);

    // Cannot be created.
    std::filesystem::create_directory(hostPath("asciilog.bin"));
    eventLogSend();
    vx::fflushStdout();
    std::string out = takeOutput();
    EXPECT_NE(out.find("ERROR: Event Log conversion failed. XMODEM transfer failed."), std::string::npos);
    EXPECT_EQ(out.find("Event log transmitted."), std::string::npos);
    std::filesystem::remove(hostPath("asciilog.bin"));

    // A disk that fills up while it is written: no transfer, no partial file.
    vx::StatFs fs{};
    int fd = vx::open("log2.bin", vx::RDONLY, 0);
    ASSERT_EQ(vx::fstatfs(fd, &fs), 0);
    vx::close(fd);
    std::ofstream(hostPath("filler")).close();
    std::filesystem::resize_file(hostPath("filler"), uint64_t(fs.f_bfree - 1) * uint64_t(fs.f_bsize));
    EXPECT_EQ(eventLogToAscii(), 2);
    EXPECT_FALSE(hostFileExists("asciilog.bin"));
    eventLogSend();
    vx::fflushStdout();
    out = takeOutput();
    EXPECT_NE(out.find("ERROR: Event Log conversion failed. XMODEM transfer failed."), std::string::npos);
    EXPECT_EQ(out.find("xmodem"), std::string::npos);
    EXPECT_FALSE(hostFileExists("asciilog.bin"));
}

TEST_F(EventLogTest, FileIsRemovedWhateverTheTransferGives)
{
    ASSERT_EQ(open(), 0);
    eventLogWrite("x.c", 1, 1);
    eventLogSend(); // nobody receives: the transfer fails
    vx::fflushStdout();
    std::string out = takeOutput();
    EXPECT_NE(out.find("ERROR: XMODEM transfer failed."), std::string::npos);
    EXPECT_FALSE(hostFileExists("asciilog.bin"));
}
