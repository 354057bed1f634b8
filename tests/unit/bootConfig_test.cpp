// Console input of the menus, the autoboot prompt and the flash access lock.
#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "host/os/hostos.h"
#include "image/imageActivate.h"
#include "osapi.h"
#include "support/testBoard.h"
#include "support/textCheck.h"
#include "xmodem/xmodem.h"

namespace {

class BootInput : public TestBoard {
protected:
    uint8_t number(const std::string& line)
    {
        peer().type(line + "\r");
        return bootReadNumber();
    }
};

TEST_F(BootInput, MenuNumbers)
{
    const std::pair<const char*, int> rows[] = {{"?", 99},  {"?17", 99},   {" ?", 0},   {"", 0},  {"256", 0},
                                                {"300", 44}, {"-1", 255},  {"12abc", 12}, {"abc", 0}, {"  7", 7},
                                                {"99999999999999999999", 255}}; // clamped like a 32-bit strtol
    for (auto [line, want] : rows) EXPECT_EQ(number(line), want) << line;
}

// Neither a longer line's rest nor a zero byte (Ctrl-Space, a raw client's CR
// NUL) costs the next line; the zero bytes are dropped.
TEST_F(BootInput, OverlongLinesAndZeroBytesCostNoFollowingLine)
{
    const char nuls[] = "1\0" "2\r\0" "3\r\0\r" "\0y\r" "a\0b\r";
    peer().type(std::string(79, '1') + std::string(300, '7') + "\r4\r" + std::string(nuls, sizeof nuls - 1));
    EXPECT_EQ(bootReadNumber(), uint8_t(uint32_t(INT32_MAX) & 0xFF));
    EXPECT_EQ(bootReadNumber(), 4) << "the excess is not read as the next line";
    for (int want : {12, 3, 0}) EXPECT_EQ(bootReadNumber(), want);
    EXPECT_EQ(bootReadAnswer(), 'y');
    char line[BOOT_LINE_LEN];
    EXPECT_STREQ(bootReadLine(line), "ab");
}

class FlashLock : public TestBoard {};

TEST_F(FlashLock, MisuseResetsTheBoard)
{
    flashAccessLockCreate();
    flashAccessLockTake();
    flashAccessLockGive();
    EXPECT_THROW(flashAccessLockGive(), host::BoardResetRequested) << "give while free";
    flashAccessLockCreate();
    host::intContextSet(true);
    EXPECT_THROW(flashAccessLockTake(), host::BoardResetRequested) << "take from an interrupt";
    host::intContextSet(false);
}

// The main menu run against a script until the script is used up.
class Menu : public TestBoard {
protected:
    std::string run(int crcInvalid, const std::string& typed)
    {
        peer().type(typed);
        EXPECT_THROW(bootMenu(crcInvalid), PeerExhausted);
        return takeOutput();
    }
};

// Deleting with 'y' and keeping with 'n', the baud rate dialogue and the menu of
// a board without a valid image run in the system menu and start-up tests.
TEST_F(Menu, DeletionThatFailsIsNotReportedAsDone)
{
    ASSERT_EQ(vx::mkdir("image1"), 0); // a directory is not removed as a file
    std::string out = run(1, "8\ry\r");
    EXPECT_HAS(out, "ERROR: Could not delete image1: ");
    EXPECT_LACKS(out, "Operational code deleted...");
}

} // namespace
