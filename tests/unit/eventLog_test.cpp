// eventLog_test.cpp - the event log store "log2.bin" and its retrieval as text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "host/os/hostos.h"
#include "log/eventLog.h"
#include "osapi.h"
#include "support/imageBuilder.h"
#include "support/testBoard.h"

using testimg::be32;

namespace {

constexpr uint32_t kSlots = 315;

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

class EventLogTest : public TestBoard {
protected:
    void SetUp() override { TestBoard::SetUp(), flashAccessLockCreate(); }
    int open() { return eventLogOpen(EVENT_LOG_BOOT_SIZE, nullptr, 5, 2, 7); }

    // The log's retrieval text, as sent.
    std::string ascii() { EXPECT_EQ(eventLogToAscii(), 0); return readHostFile("asciilog.bin"); }

    // Lines of the retrieval text after its two heading lines, padding dropped.
    std::vector<std::string> listed()
    {
        std::string text = ascii();
        std::vector<std::string> lines;
        for (size_t pos = 0, end; (end = text.find("\r\n", pos)) != std::string::npos; pos = end + 2)
            lines.push_back(text.substr(pos, end - pos));
        return {lines.begin() + std::min<size_t>(2, lines.size()), lines.end()};
    }
};

} // namespace

TEST_F(EventLogTest, EveryRecordTypeRendersNewestFirst)
{
    std::string content = eventRecord(1, "bootApp.c", 42, 0x3FFE2C0, 0x1234, 90061)
                          + eventRecord(2, "drv.c", -1, 0xAB, 0xFFFFFFFF, 0)
                          + exceptionRecord(3, 0x10, 0x20, 0x30, 0x40, 0x50, 86399)
                          + exceptionRecord(4, 1, 2, 3, 4, 5, 3600)
                          + exceptionRecord(0x300, 0xFFF00100, 0x00029200, 0x00021200, 0x02000000, 0xDEAD0000, 61)
                          + exceptionRecord(0x1100, 9, 8, 7, 6, 5, 4294967295u)
                          + exceptionRecord(0, 1, 2, 3, 4, 5, 6) + exceptionRecord(5, 0, 0, 0, 0, 0, 0);
    content += std::string((kSlots - 8) * 52, '\xff'); // free slots
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

TEST_F(EventLogTest, FullLogIsShownOnceAndEmptyLogIsOneBlock)
{
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(ascii(), "\r\nMessage Log Empty" + std::string(1005, ' '));

    // The store's own full log, as retrieval writes it.
    for (uint32_t i = 0; i < kSlots; ++i) eventLogWrite("f.c", int32_t(i), i);
    std::vector<std::string> lines = listed();
    ASSERT_EQ(lines.size(), kSlots);
    EXPECT_NE(lines.front().find(" 314 "), std::string::npos);
    EXPECT_NE(lines.back().find("    0 "), std::string::npos);
}

TEST_F(EventLogTest, FailedConversionIsNotSent)
{
    ASSERT_EQ(open(), 0);
    for (int i = 0; i < 60; ++i) eventLogWrite("big.c", i, 0);

    // A disk that fills up while it is written: no transfer, no partial file.
    fillDisk(1);
    EXPECT_EQ(eventLogToAscii(), 2);
    EXPECT_FALSE(hostFileExists("asciilog.bin"));
    eventLogSend();
    std::string out = takeOutput();
    EXPECT_NE(out.find("ERROR: Event Log conversion failed. XMODEM transfer failed."), std::string::npos);
    EXPECT_EQ(out.find("xmodem"), std::string::npos);
    EXPECT_FALSE(hostFileExists("asciilog.bin"));
}
