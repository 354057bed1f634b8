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
    EXPECT_EQ(number("?"), 99);
    EXPECT_EQ(number("?17"), 99);
    EXPECT_EQ(number(" ?"), 0) << "a blank before the question mark";
    EXPECT_EQ(number(""), 0);
    EXPECT_EQ(number("256"), 0);
    EXPECT_EQ(number("300"), 44);
    EXPECT_EQ(number("-1"), 255);
    EXPECT_EQ(number("12abc"), 12);
    EXPECT_EQ(number("abc"), 0);
    EXPECT_EQ(number("  7"), 7);
    EXPECT_EQ(number("99999999999999999999"), 255) << "clamped like a 32-bit strtol";
}

TEST_F(BootInput, OverlongLineIsCutAndItsRestDiscarded)
{
    peer().type(std::string(79, '1') + std::string(300, '7') + "\r4\r");
    EXPECT_EQ(bootReadNumber(), uint8_t(uint32_t(INT32_MAX) & 0xFF));
    EXPECT_EQ(bootReadNumber(), 4) << "the excess is not read as the next line";
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

TEST_F(Menu, BaudRateDialogueSetsTheLine)
{
    std::string out = run(1, "2\r9\r8\r");
    EXPECT_HAS(out, "ERROR: Invalid Option:");
    EXPECT_HAS(out, "Setting baud rate to 115200, you must change your terminal baud rate.");
    EXPECT_EQ(line_speed, 115200);
    int32_t baud = 0;
    ASSERT_EQ(vx::ioctl(vx::STD_IN, vx::SIO_BAUD_GET, intptr_t(&baud)), 0);
    EXPECT_EQ(baud, 115200);
    out = run(1, "2\r0\r");
    EXPECT_HAS(out, "Baud rate is not changed");
    EXPECT_EQ(line_speed, 115200);
}

TEST_F(Menu, InvalidStartSkipsTheAutobootAndRefusesToStart)
{
    std::string out = run(1, "1\r6\r");
    EXPECT_LACKS(out, "Select (1, 2):");
    EXPECT_HAS(out, "Operational code CRC is invalid.");
    EXPECT_HAS(out, "ERROR: Operational code CRC is not valid, you must load new code.");
    EXPECT_HAS(out, "ERROR: Operational code CRC is not valid.\r\n");
    EXPECT_EQ(std::string(bootImageName), "image1") << "the image the start-up checked";
}

// Deleting with 'y' and keeping with 'n' run in the system menu tests.
TEST_F(Menu, DeletionThatFailsIsNotReportedAsDone)
{
    ASSERT_EQ(vx::mkdir("image1"), 0); // a directory is not removed as a file
    std::string out = run(1, "8\ry\r");
    EXPECT_HAS(out, "ERROR: Could not delete image1: ");
    EXPECT_LACKS(out, "Operational code deleted...");
}

} // namespace
