// Real-time clock routines through the real drivers and the DS1338 model.
#include "bsp/cpu/tarn8541/vxworks/start/bootInput.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/i2cLib.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/rtc.h"
#include "host/board/board.h"
#include "host/board/ds1338.h"
#include "host/os/hostos.h"
#include "support/deviceBoards.h"
#include "support/textCheck.h"

#include <fstream>
#include <vector>

namespace {

class Rtc : public I2cBoard {
protected:
    std::array<uint8_t, 64> regs() { return host::board().rtc().registers(); }
    std::string setDialog(const std::string& line, int expect)
    {
        peer().type(line);
        EXPECT_EQ(rtcSetDialog(), expect) << line;
        return takeText();
    }
};

constexpr uint32_t k2000 = 946684800;       // 2000-01-01 00:00:00 UTC
constexpr uint32_t kFallback = 1114156800;  // 2005-04-22 08:00:00 UTC

TEST_F(Rtc, StartUpRestartsAHaltedClock)
{
    ASSERT_EQ((regs()[0] & 0x80) | (regs()[7] & 0x20), 0xA0) << "a new chip: halted, oscillator stopped";
    EXPECT_EQ(rtcLoadSystemClock(), 0);
    EXPECT_EQ(vx::time(nullptr), k2000);
    EXPECT_EQ((regs()[0] & 0x80) | (regs()[7] & 0x20), 0) << "started, flag cleared";
    host::clockAdvanceNs(3000000000ull);
    EXPECT_EQ(regs()[0], 0x03) << "the clock runs";
    EXPECT_EQ(takeText(), "");
}

// The clock's ranges at their bounds, in both hour forms (12-hour: bit 0x40,
// afternoon 0x20): the registers 0-6 and the century byte, and the system time
// the start-up takes from them (0xFFFFFFFF: the fallback date instead).
TEST_F(Rtc, StartUpTakesEveryValidTimeAndNothingPast)
{
    const uint32_t fallback = 0xFFFFFFFFu, t = 1230683400, h = 3600; // t: 2008-12-31 00:30
    const struct Row {
        std::vector<uint8_t> regs;
        uint8_t century;
        uint32_t want;
    } rows[] = {
        {{0x59, 0x59, 0x23, 1, 0x29, 0x02, 0x08}, 20, 1204329599},     // 2008-02-29 23:59:59
        {{0x00, 0x00, 0x00, 1, 0x29, 0x02, 0x00}, 20, 951782400},      // 2000 is a leap year
        {{0x00, 0x00, 0x00, 1, 0x01, 0x01, 0x70}, 19, 0},              // the first second
        {{0x59, 0x59, 0x23, 1, 0x31, 0x12, 0x99}, 20, 4102444799u},    // the last one
        // 1969, 2100, second 60, minute 60, hour 24, 2009-02-29, 31 April, day 32 and 0, month 13 and 0
        {{0x59, 0x59, 0x23, 1, 0x31, 0x12, 0x69}, 19, fallback}, {{0x00, 0x00, 0x00, 1, 0x01, 0x01, 0x00}, 21, fallback},
        {{0x60, 0x00, 0x00, 1, 0x01, 0x01, 0x08}, 20, fallback}, {{0x00, 0x60, 0x00, 1, 0x01, 0x01, 0x08}, 20, fallback},
        {{0x00, 0x00, 0x24, 1, 0x01, 0x01, 0x08}, 20, fallback}, {{0x00, 0x00, 0x00, 1, 0x29, 0x02, 0x09}, 20, fallback},
        {{0x00, 0x00, 0x00, 1, 0x31, 0x04, 0x08}, 20, fallback}, {{0x00, 0x00, 0x00, 1, 0x32, 0x01, 0x08}, 20, fallback},
        {{0x00, 0x00, 0x00, 1, 0x00, 0x01, 0x08}, 20, fallback}, {{0x00, 0x00, 0x00, 1, 0x01, 0x13, 0x08}, 20, fallback},
        {{0x00, 0x00, 0x00, 1, 0x01, 0x00, 0x08}, 20, fallback},
        // 12:30 AM is 00:30, then 1:30 AM, 11:30 AM, 12:30 PM, 1:30 PM, 11:30 PM; 09:30 and 10:30 in 24-hour form
        {{0, 0x30, 0x52, 1, 0x31, 0x12, 8}, 20, t + 0 * h}, {{0, 0x30, 0x41, 1, 0x31, 0x12, 8}, 20, t + 1 * h},
        {{0, 0x30, 0x51, 1, 0x31, 0x12, 8}, 20, t + 11 * h}, {{0, 0x30, 0x72, 1, 0x31, 0x12, 8}, 20, t + 12 * h},
        {{0, 0x30, 0x61, 1, 0x31, 0x12, 8}, 20, t + 13 * h}, {{0, 0x30, 0x71, 1, 0x31, 0x12, 8}, 20, t + 23 * h},
        {{0, 0x30, 0x09, 1, 0x31, 0x12, 8}, 20, t + 9 * h}, {{0, 0x30, 0x10, 1, 0x31, 0x12, 8}, 20, t + 10 * h},
    };
    for (const Row& r : rows) {
        ASSERT_EQ(i2cRandomWrite(1, I2C_DEV_RTC, 0, 1, r.regs.data(), 7), 0);
        ASSERT_EQ(i2cRandomWrite(1, I2C_DEV_RTC, 8, 1, &r.century, 1), 0);
        vx::clockSettime(12345, 0);
        int rc = rtcLoadSystemClock();
        EXPECT_EQ(r.want == fallback ? kFallback : r.want, vx::time(nullptr)) << int(r.regs[2]) << " " << int(r.regs[6]);
        EXPECT_EQ(rc, r.want == fallback ? -1 : 0);
    }
}

// as written but goes wrong at the first carry.
TEST_F(Rtc, ClockCountsInBcdSoBinaryWrittenTimesGoWrong)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> set; // registers 0-6
        uint64_t after; // seconds
        std::vector<uint8_t> expect;
    } cases[] = {
        {"BCD, leap day", {0x58, 0x59, 0x23, 5, 0x28, 0x02, 0x08}, 2, {0x00, 0x00, 0x00, 6, 0x29, 0x02, 0x08}},
        {"BCD, 12-hour 11:59:59 PM", {0x59, 0x59, 0x71, 7, 0x31, 0x12, 0x99}, 1, {0, 0, 0x52, 1, 1, 1, 0}},
        {"BCD, a year on", {0x00, 0x00, 0x00, 1, 0x01, 0x01, 0x08}, 366 * 86400, {0, 0, 0, 3, 0x01, 0x01, 0x09}},
        {"binary 9 s", {9, 0, 0, 1, 1, 1, 8}, 1, {0x10, 0, 0, 1, 1, 1, 8}},
        {"binary 58 s", {58, 59, 23, 1, 31, 12, 8}, 2, {0x41, 0x3B, 0x17, 1, 0x1F, 0x0C, 8}},
        {"binary 31 December", {0x59, 0x59, 0x23, 1, 31, 12, 8}, 1, {0x00, 0x00, 0x00, 2, 0x20, 0x0C, 8}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(i2cRandomWrite(1, I2C_DEV_RTC, 0, 1, c.set.data(), 7), 0);
        auto r = regs();
        EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.begin() + 7), c.set) << c.what << ": as written";
        host::clockAdvanceNs(c.after * 1000000000ull);
        r = regs();
        EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.begin() + 7), c.expect) << c.what;
    }
}

// rtc.bin is the registers, then the host's wall time at which they held
// (nanoseconds since 1970, big-endian 64 bits): the same bytes from every
// host, and a board written on one runs on with the time off on another.
TEST_F(Rtc, ClockFileHasOneLayoutOnEveryHost)
{
    const std::string path = boardDir + "/clock.bin", wallBytes("\x1f\x18\x40\x03\xdf\xc3\x00\x7b", 8);
    const int64_t wall = 2240611200'000000123; // 2041-01-01, past a 32-bit time_t
    int64_t now = wall;
    auto file = [&] {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    host::Ds1338 chip([&] { return now; });
    chip.powerOn(path);
    ASSERT_EQ(file().size(), 72u);
    EXPECT_EQ(file().substr(64), wallBytes) << "a new chip, saved at once";
    std::string running(64, '\0');
    running[3] = running[4] = running[5] = 1, running[6] = 0x41;
    std::ofstream(path, std::ios::binary) << running + wallBytes;
    now = wall + 3723'000000000; // off for 1 h 2 min 3 s
    chip.powerOn(path);
    auto r = chip.registers();
    EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.begin() + 7), (std::vector<uint8_t>{0x03, 0x02, 0x01, 1, 1, 1, 0x41}));
}

TEST_F(Rtc, SetDialogTakesOnlyTimesTheClockCanHold)
{
    EXPECT_EQ(setDialog("12-31-2008 23:59:58\n", 0),
              "Enter date and time as follows: mm-dd-yyyy h:m:s (24-hour format)\n12-31-2008 23:59:58\n");
    EXPECT_EQ(regs()[2], 0x23);
    setDialog("2-29-2008 0:0:0\n", 0);
    EXPECT_EQ(regs()[4], 0x29);
    EXPECT_EQ(regs()[2], 0x00) << "midnight can be set";
    for (const char* line : {"02-29-2000 1:2:3\n", "12-31-2099 23:59:59\n", "01-01-1970 0:0:0\n"})
        EXPECT_EQ(setDialog(line, 0).find("invalid"), std::string::npos) << line;
    auto last = regs();
    EXPECT_EQ(std::vector<uint8_t>(last.begin(), last.begin() + 7), (std::vector<uint8_t>{0, 0, 0, 0, 1, 1, 0x70}));
    EXPECT_EQ(last[8], 19);
    ASSERT_EQ(rtcSet(2008, 1, 2, 3, 4, 5), 0);
    auto before = regs();

    // The line, and the field and value refused: "\n<field> value of <value> is invalid\n\n".
    const char* const cases[][3] = {
        {"13-01-2008 1:2:3", "Month", "13"},    {"12-32-2008 1:2:3", "Day", "32"},
        {"02-30-2008 1:2:3", "Day", "30"},      {"02-29-2009 1:2:3", "Day", "29"},
        {"04-31-2008 1:2:3", "Day", "31"},      {"01-01-2100 1:2:3", "Year", "2100"},
        {"01-01-1969 1:2:3", "Year", "1969"},   {"01-01-2008 24:00:00", "Hour", "24"},
        {"01-01-2008 1:60:00", "Minute", "60"}, {"01-01-2008 1:-1:00", "Minute", "-1"},
        {"01-01-2008 1:2:-3", "Second", "-3"},  {"01-01-2008 1:2:60", "Second", "60"},
        {"12012008", "Month", "12012008"},
    };
    for (auto [line, field, value] : cases) {
        std::string message = "\n" + std::string(field) + " value of " + value + " is invalid\n\n";
        EXPECT_HAS(setDialog(line + std::string("\n"), -1), message);
        auto now = regs();
        for (int i = 1; i < 9; ++i) EXPECT_EQ(now[i], before[i]) << line << " register " << i;
    }
    EXPECT_HAS(setDialog("", -1), "\n\nError reading from stream!\nReal Time Clock not set.\n");
}

TEST_F(Rtc, SetDialogDiscardsTheRestOfAnOverlongLine)
{
    std::string line = std::string("01-02-2008 3:4:5\0", 17) + std::string(100, ' ') + "9\n";
    setDialog(line + "7\n", 0);
    char rest[80];
    EXPECT_STREQ(bootReadLine(rest), "7");
}

} // namespace
