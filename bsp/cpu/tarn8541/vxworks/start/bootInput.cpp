/*
 * bootInput.cpp - console input of the boot menus.
 */
#include "bsp/cpu/tarn8541/vxworks/start/bootInput.h"

#include "osapi.h"

#include <cctype>
#include <cstring>

namespace {

constexpr uint8_t kBackspace = 0x08;

/* Input buffers of the menu reads, cleared before every read. */
char bootLine[BOOT_LINE_LEN];
char bootEdited[BOOT_LINE_LEN];

/* Backspace editing of a line read into bootLine, into bootEdited. Returns the
 * number of characters kept. */
int bootEditLine()
{
    int kept = 0;
    for (int i = 0; i < BOOT_LINE_LEN && bootLine[i] != '\0'; ++i) {
        char c = bootLine[i];
        if (c == char(kBackspace) && kept > 0) {
            bootEdited[--kept] = '\0';
        } else if (kept < BOOT_LINE_LEN - 1) {
            bootEdited[kept++] = c;
        }
    }
    return kept;
}

void bootClearBuffers()
{
    std::memset(bootLine, 0, sizeof bootLine);
    std::memset(bootEdited, 0, sizeof bootEdited);
}

/* A menu line holding a transfer block's start (SOH, STX) comes from a file
 * sender still talking - one a reset cut off, say - not from the keyboard,
 * and the lines behind it are that file's data. The sender is told to stop
 * (CANs) and what arrives is discarded until the line has been quiet for a
 * second, asking again each second it is not (for at most a minute). */
bool bootLineFromSender(const char* line) { return std::strpbrk(line, "\x01\x02") != nullptr; }

void bootLineStopSender()
{
    static const char cancel[5] = {0x18, 0x18, 0x18, 0x18, 0x18};
    const uint32_t second = uint32_t(vx::sysClkRateGet()), start = vx::tickGet();
    uint32_t asked = start;
    vx::write(vx::STD_OUT, cancel, sizeof cancel);
    do {
        vx::ioctl(vx::STD_IN, vx::FIORFLUSH, 0);
        if (vx::tickGet() - asked >= second) {
            vx::write(vx::STD_OUT, cancel, sizeof cancel);
            asked = vx::tickGet();
        }
    } while (vx::selectStdin(1, 0) > 0 && vx::tickGet() - start < 60 * second);
    vx::ioctl(vx::STD_IN, vx::FIORFLUSH, 0);
}

} // namespace

/* Decimal conversion with the board's 32-bit strtol rules: white space, an
 * optional sign, digits; out-of-range values clamp. */
int32_t bootDecimal(const char* text)
{
    const char* p = text;
    while (*p && std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > int64_t(INT32_MAX) + 1) value = int64_t(INT32_MAX) + 1;
    }
    if (negative) return value > int64_t(INT32_MAX) ? INT32_MIN : int32_t(-value);
    return value > INT32_MAX ? INT32_MAX : int32_t(value);
}

int32_t bootLineRead(char* buf, int32_t size, bool* lost)
{
    std::memset(buf, 0, size_t(size));
    if (lost) *lost = false;
    /* A character at a time: a zero byte read by the C library's line read
     * cannot be told from the end of what it read. */
    int32_t len = 0;
    bool any = false;
    char one[2];
    while (vx::fgetsStdin(one, sizeof one)) {
        any = true;
        char c = one[0];
        if (c == '\n') return len;
        if (c == '\0') continue;
        if (len < size - 1)
            buf[len++] = c;
        else if (lost && c != '\r')
            *lost = true;
    }
    return any ? len : -1;
}

char* bootReadLine(char buf[BOOT_LINE_LEN])
{
    return bootLineRead(buf, BOOT_LINE_LEN, nullptr) < 0 ? nullptr : buf;
}

uint8_t bootReadNumber()
{
    for (;;) {
        bootClearBuffers();
        if (bootReadLine(bootLine)) break;
    }
    if (bootLine[0] == '?') return BOOT_MENU_REDISPLAY;
    if (bootLineFromSender(bootLine)) {
        bootLineStopSender();
        return BOOT_MENU_REDISPLAY;
    }
    bootEditLine();
    return uint8_t(uint32_t(bootDecimal(bootEdited)) & 0xFF);
}

char bootReadAnswer()
{
    bootClearBuffers();
    bootReadLine(bootLine);
    bootEditLine();
    return bootEdited[0];
}

int bootParseMac(const char* text, uint8_t mac[6])
{
    uint8_t nibble[12];
    for (int i = 0; i < 12; ++i) {
        char c = text[i];
        if (c >= '0' && c <= '9')
            nibble[i] = uint8_t(c - '0');
        else if (c >= 'a' && c <= 'f')
            nibble[i] = uint8_t(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            nibble[i] = uint8_t(c - 'A' + 10);
        else
            return 2;
    }
    for (int i = 0; i < 6; ++i) mac[i] = uint8_t(nibble[2 * i] * 16 + nibble[2 * i + 1]);
    return 0;
}

