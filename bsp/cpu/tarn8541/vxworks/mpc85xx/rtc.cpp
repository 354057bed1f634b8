/*
 * rtc.cpp - the real-time clock routines.
 */
#include "rtc.h"

#include "bsp/cpu/tarn8541/vxworks/start/bootInput.h"
#include "i2cLib.h"
#include "osapi.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int REG_SECONDS = 0;
constexpr int REG_CONTROL = 7;
constexpr int REG_CENTURY = 8;
constexpr uint8_t SEC_CH = 0x80;
constexpr uint8_t CTL_OSF = 0x20;
constexpr uint8_t HOUR_12 = 0x40;
constexpr uint8_t HOUR_PM = 0x20;
constexpr int DIALOG_LINE = 80;

int rtcRead(int reg, uint8_t* buf, int n) { return i2cRandomRead(1, I2C_DEV_RTC, reg, 1, buf, n); }
int rtcWrite(int reg, const uint8_t* buf, int n) { return i2cRandomWrite(1, I2C_DEV_RTC, reg, 1, buf, n); }

int32_t fromBcd(uint8_t v) { return (v >> 4) * 10 + (v & 0x0F); }
uint8_t toBcd(int32_t v) { return uint8_t((v / 10) * 16 + v % 10); }

bool timeValid(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second)
{
    return year >= RTC_YEAR_MIN && year <= RTC_YEAR_MAX && month >= 1 && month <= 12 && day >= 1 &&
           day <= rtcDaysInMonth(year, month) && hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 &&
           second >= 0 && second <= 59;
}

/* The C library's strtok_r, on the caller's cursor. */
char* token(char* s, const char* delim, char** save)
{
    if (!s) s = *save;
    if (!s) return nullptr;
    s += std::strspn(s, delim);
    if (*s == '\0') {
        *save = s;
        return nullptr;
    }
    char* end = s + std::strcspn(s, delim);
    if (*end) {
        *end = '\0';
        *save = end + 1;
    } else {
        *save = end;
    }
    return s;
}

/* Decimal conversion as the board's 32-bit atoi; no text converts to 0.
 * *missing tells that the field had no text at all (absent, or blanks only):
 * it then fails its check whatever range 0 would pass. */
int32_t decimal(const char* s, bool* missing)
{
    *missing = !s || s[std::strspn(s, " \t\r\n")] == '\0';
    if (*missing) return 0;
    long long v = std::strtoll(s, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return int32_t(v);
}

} // namespace

int32_t rtcDaysInMonth(int32_t year, int32_t month)
{
    static const int32_t days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

int rtcCheck()
{
    uint8_t v;
    if (rtcRead(REG_SECONDS, &v, 1) != 0) return -1;
    if (v & SEC_CH) {
        v = uint8_t(v & ~SEC_CH);
        if (rtcWrite(REG_SECONDS, &v, 1) != 0) return -1;
    }
    if (rtcRead(REG_CONTROL, &v, 1) != 0) return -1;
    if (v & CTL_OSF) {
        v = uint8_t(v & ~CTL_OSF);
        if (rtcWrite(REG_CONTROL, &v, 1) != 0) return -1;
    }
    return 0;
}

int rtcGet(int32_t* year, int32_t* month, int32_t* day, int32_t* hour, int32_t* minute, int32_t* second)
{
    uint8_t r[7];
    uint8_t century;
    if (rtcRead(0, r, 7) != 0) return -1;
    if (rtcRead(REG_CENTURY, &century, 1) != 0) return -1;
    /* Flag bits are taken off before the BCD conversion: converted first, a
     * halted clock's seconds or a 12-hour hour would read as nonsense. */
    *second = fromBcd(r[0] & 0x7F);
    *minute = fromBcd(r[1] & 0x7F);
    if (r[2] & HOUR_12)
        *hour = fromBcd(r[2] & 0x1F) % 12 + ((r[2] & HOUR_PM) ? 12 : 0);
    else
        *hour = fromBcd(r[2] & 0x3F);
    *day = fromBcd(r[4] & 0x3F);
    *month = fromBcd(r[5] & 0x1F);
    *year = fromBcd(r[6]) + 100 * century;
    return 0;
}

int rtcSet(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second)
{
    uint8_t r[7] = {toBcd(second), toBcd(minute), toBcd(hour), 0, toBcd(day), toBcd(month), toBcd(year % 100)};
    if (rtcWrite(0, r, 7) != 0) return -1;
    uint8_t century = uint8_t(year / 100);
    if (rtcWrite(REG_CENTURY, &century, 1) != 0) return -1;
    return 0;
}

int rtcLoadSystemClock()
{
    std::tm t{};
    int32_t y, mo, d, h, mi, s;
    int r = -1;
    if (rtcCheck() == 0 && rtcGet(&y, &mo, &d, &h, &mi, &s) == 0 && timeValid(y, mo, d, h, mi, s)) {
        t.tm_year = y - 1900;
        t.tm_mon = mo - 1;
        t.tm_mday = d;
        t.tm_hour = h;
        t.tm_min = mi;
        t.tm_sec = s;
        r = 0;
    } else {
        /* Fallback: Friday 22 April 2005, 08:00:00. */
        t.tm_year = 105;
        t.tm_mon = 3;
        t.tm_mday = 22;
        t.tm_hour = 8;
        t.tm_wday = 5;
    }
    vx::clockSettime(vx::mktime(&t), 0);
    return r;
}

int rtcShow()
{
    int32_t y, mo, d, h, mi, s;
    if (rtcGet(&y, &mo, &d, &h, &mi, &s) != 0) return -1;
    vx::printf("Year %d, Month %d, Day %d, Hour %d Min %d, Sec %d\n", y, mo, d, h, mi, s);
    return 0;
}

int rtcSetDialog()
{
    char line[DIALOG_LINE] = {};
    vx::printf("Enter date and time as follows: mm-dd-yyyy h:m:s (24-hour format)\n");
    vx::fflushStdout();
    /* The rest of a longer line is not another answer: bootLineRead drops it. */
    if (bootLineRead(line, sizeof line, nullptr) < 0) {
        vx::printf("\n\nError reading from stream!\nReal Time Clock not set.\n");
        return -1;
    }

    char* save = nullptr;
    bool missing = false;
    int32_t month = decimal(token(line, "-", &save), &missing);
    if (missing || month < 1 || month > 12) {
        vx::printf("\nMonth value of %d is invalid\n\n", month);
        return -1;
    }
    int32_t day = decimal(token(nullptr, "-", &save), &missing);
    if (missing || day < 1 || day > 31) {
        vx::printf("\nDay value of %d is invalid\n\n", day);
        return -1;
    }
    int32_t year = decimal(token(nullptr, " ", &save), &missing);
    if (missing || year < RTC_YEAR_MIN || year > RTC_YEAR_MAX) {
        vx::printf("\nYear value of %d is invalid\n\n", year);
        return -1;
    }
    if (day > rtcDaysInMonth(year, month)) {
        vx::printf("\nDay value of %d is invalid\n\n", day);
        return -1;
    }
    int32_t hour = decimal(token(nullptr, ":", &save), &missing);
    if (missing || hour < 0 || hour > 23) {
        vx::printf("\nHour value of %d is invalid\n\n", hour);
        return -1;
    }
    int32_t minute = decimal(token(nullptr, ":", &save), &missing);
    if (missing || minute < 0 || minute > 59) {
        vx::printf("\nMinute value of %d is invalid\n\n", minute);
        return -1;
    }
    int32_t second = decimal(token(nullptr, " \n", &save), &missing);
    if (missing || second < 0 || second > 59) {
        vx::printf("\nSecond value of %d is invalid\n\n", second);
        return -1;
    }
    if (rtcSet(year, month, day, hour, minute, second) != 0) {
        vx::printf("RTC set failed\n");
        return -1;
    }
    return 0;
}
