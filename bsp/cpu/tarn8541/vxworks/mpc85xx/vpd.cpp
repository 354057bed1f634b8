/*
 * vpd.cpp - reading, showing and programming the VPD EEPROM.
 */
#include "vpd.h"

#include "bsp/cpu/tarn8541/vxworks/start/bootInput.h"
#include "i2cLib.h"
#include "osapi.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr uint8_t VPD_MARKER[3] = {0xFF, 0x01, 0xE0};
constexpr int MAC_LINE_LIMIT = 20;
constexpr int SERIAL_LINE_LIMIT = VPD_SERIAL_MAX + 1;
constexpr int TEXT_BUF = 32;

/* Reads a line of at most limit-1 characters (bootLineRead); *overlong tells
 * whether characters were lost. The line is cut at its first carriage return.
 * Returns false at end of input. */
bool readLimitedLine(char* buf, int limit, bool* overlong)
{
    if (bootLineRead(buf, limit, overlong) < 0) return false;
    if (char* cr = std::strchr(buf, '\r')) *cr = '\0';
    return true;
}

void printText(const char* label, const uint8_t* value, int len)
{
    char text[TEXT_BUF] = {};
    std::memcpy(text, value, size_t(len < TEXT_BUF - 1 ? len : TEXT_BUF - 1));
    vx::printf("%s%s", label, text);
}

/* Asks for a MAC address until a valid one is typed; false at end of input. */
bool askMac(uint8_t mac[VPD_MAC_LEN])
{
    char line[MAC_LINE_LIMIT];
    for (;;) {
        vx::fflushStdout();
        vx::printf("\n\nEnter the six byte starting MAC address (example: 000629328140)\n-> ");
        vx::fflushStdout();
        bool overlong;
        if (!readLimitedLine(line, sizeof line, &overlong)) return false;
        if (overlong || std::strlen(line) != 12) {
            vx::printf("ERROR: Invalid MAC address length.\n\n");
            continue;
        }
        if (bootParseMac(line, mac) != 0) {
            vx::printf("ERROR: Invalid characters in the MAC address.\n\n");
            continue;
        }
        vx::printf("Entered MAC: ");
        vpdMacPrint(mac);
        vx::printf("\n");
        return true;
    }
}

/* Asks for a serial number until one is accepted; false at end of input. */
bool askSerial(char serial[SERIAL_LINE_LIMIT])
{
    for (;;) {
        vx::printf("\nEnter a serial number to place in the VPD -> ");
        vx::fflushStdout();
        bool overlong;
        if (!readLimitedLine(serial, SERIAL_LINE_LIMIT, &overlong)) return false;
        if (overlong) {
            vx::printf("\nSerial number longer than %d characters.\n\n", VPD_SERIAL_MAX);
            continue;
        }
        const char* bad = serial;
        while (*bad && std::isalnum(static_cast<unsigned char>(*bad))) ++bad;
        if (*bad) {
            vx::printf("\nIllegal char %c in input.\n\n", *bad);
            continue;
        }
        return true;
    }
}

bool yes(char c) { return c == 'y' || c == 'Y'; }

} // namespace

int vpdEepromRead(uint32_t offset, uint8_t* buf, uint32_t count)
{
    return i2cRandomRead(1, I2C_DEV_VPD, int32_t(offset), 1, buf, int32_t(count));
}

int vpdMarkerFind(const uint8_t image[VPD_SIZE])
{
    for (int i = 0; i <= VPD_SIZE - 3; ++i) {
        if (std::memcmp(&image[i], VPD_MARKER, 3) == 0) return i;
    }
    return -1;
}

int vpdLocate(const uint8_t image[VPD_SIZE], int* serialOffset, int* serialLength, int* macOffset)
{
    int m = vpdMarkerFind(image);
    if (m < 0) return -1;
    int at = m + 3;
    int valueAt[5] = {}, length[5] = {};
    for (int type = 1; type <= 4; ++type) {
        if (at + 2 > VPD_SIZE || image[at] != type) return -1;
        length[type] = image[at + 1];
        valueAt[type] = at + 2;
        at += length[type] + 2;
        if (at > VPD_SIZE) return -1;
    }
    if (length[3] > VPD_SERIAL_MAX || length[4] != VPD_MAC_LEN) return -1;
    *serialOffset = valueAt[3];
    *serialLength = length[3];
    *macOffset = valueAt[4];
    return 0;
}

void vpdMacPrint(const uint8_t mac[VPD_MAC_LEN])
{
    for (int i = 0; i < VPD_MAC_LEN; ++i) vx::printf(i < VPD_MAC_LEN - 1 ? "%02X:" : "%02X ", mac[i]);
}

int vpdDump(uint32_t offset, uint32_t count)
{
    uint8_t buf[VPD_SIZE] = {};
    if (count > uint32_t(VPD_SIZE)) count = VPD_SIZE;
    for (uint32_t i = 0; i < count; ++i) {
        if (i2cRandomRead(1, I2C_DEV_VPD, int32_t(offset + i), 1, &buf[i], 1) != 0) return -1;
    }

    char text[17] = {};
    for (int i = 0; i < VPD_SIZE; ++i) {
        if (i % 16 == 0) {
            if (i != 0) {
                vx::printf("%s", text);
                std::memset(text, 0, sizeof text);
            }
            vx::printf("\n%02x:", i);
        }
        vx::printf("%02x ", buf[i]);
        text[i % 16] = (buf[i] >= 0x20 && buf[i] <= 0x7E) ? char(buf[i]) : '-';
    }
    vx::printf("%s", text);
    vx::printf("\n");

    int at = vpdMarkerFind(buf);
    if (at < 0) return 0;
    vx::printf("VPD begins at offset %d \n", at);
    while (at + 1 < VPD_SIZE) {
        int type = buf[at], len = buf[at + 1];
        const uint8_t* v = &buf[at + 2];
        if (at + 2 + len > VPD_SIZE) {
            vx::printf("\nRecord type %d at offset %d runs past the end of the EEPROM", type, at);
            break;
        }
        switch (type) {
        case 1: printText("\nProduct Name:", v, len); break;
        case 2: printText("\nPart Number:", v, len); break;
        case 3: printText("\nSerial Number:", v, len); break;
        case 4:
            if (len >= 6) vx::printf("\nMAC: %02x-%02x-%02x-%02x-%02x-%02x", v[0], v[1], v[2], v[3], v[4], v[5]);
            break;
        case 5:
            if (len >= 2) vx::printf("\nMfg Year: 20%02d Week: %d", v[0], v[1]);
            break;
        case 6:
            if (len >= 4) vx::printf("\nCard Type: 0x%02x%02x%02x%02x", v[0], v[1], v[2], v[3]);
            break;
        case 7:
            if (len >= 1) vx::printf("\nHardware Revision: 0x%02x", v[0]);
            return 0;
        default: break;
        }
        at += len + 2;
    }
    return 0;
}

int vpdBuild(const uint8_t cur[VPD_SIZE], const char* serial, const uint8_t mac[VPD_MAC_LEN], uint8_t img[VPD_SIZE])
{
    int serialOff, serialLen, macOff;
    if (vpdLocate(cur, &serialOff, &serialLen, &macOff) != 0) return -1;
    char kept[VPD_SERIAL_MAX + 1] = {};
    if (!serial) serial = static_cast<const char*>(std::memcpy(kept, &cur[serialOff], size_t(serialLen)));
    if (!mac) mac = &cur[macOff];
    const int newLen = int(std::strlen(serial));
    if (newLen > VPD_SERIAL_MAX) return -1;
    /* Everything up to record 3 as it is, then the new records 3 and 4; they
     * must fit whole. */
    const int rec3 = serialOff - 2;
    const int end4 = rec3 + 2 + newLen + 2 + VPD_MAC_LEN;
    if (end4 > VPD_SIZE) return -1;
    std::memset(img, 0, VPD_SIZE);
    std::memcpy(img, cur, size_t(rec3));
    int pos = rec3;
    img[pos++] = 3;
    img[pos++] = uint8_t(newLen);
    std::memcpy(&img[pos], serial, size_t(newLen));
    pos += newLen;
    img[pos++] = 4;
    img[pos++] = VPD_MAC_LEN;
    std::memcpy(&img[pos], mac, VPD_MAC_LEN);
    pos += VPD_MAC_LEN;
    /* The rest of the old image after its record 4, cut at the image's end. */
    const int src = macOff + VPD_MAC_LEN;
    const int n = std::min(VPD_SIZE - src, VPD_SIZE - pos);
    std::memcpy(&img[pos], &cur[src], size_t(n));
    return 0;
}

int vpdGenerate()
{
    uint8_t cur[VPD_SIZE] = {};
    char curSerial[SERIAL_LINE_LIMIT] = {};
    char serial[SERIAL_LINE_LIMIT] = {};
    uint8_t mac[VPD_MAC_LEN] = {};

    if (vpdEepromRead(0, cur, VPD_SIZE) != 0) {
        vx::printf("ERROR: Cannot read the VPD EEPROM. Nothing written.\n");
        return -1;
    }
    int serialOff, serialLen, macOff;
    if (vpdLocate(cur, &serialOff, &serialLen, &macOff) != 0) {
        vx::printf("ERROR: The VPD EEPROM holds no valid VPD (start marker and records 1 to 4).\n"
                   "       Nothing written.\n");
        return -1;
    }
    std::memcpy(mac, &cur[macOff], VPD_MAC_LEN);
    std::memcpy(curSerial, &cur[serialOff], size_t(serialLen));
    std::memcpy(serial, curSerial, sizeof serial);

    vx::printf("\n\nDo you wish to input a MAC address?\nIf you choose no, the currently stored\nMAC address ( ");
    vpdMacPrint(mac);
    vx::printf(") will be used. (y/n): ");
    vx::fflushStdout();
    if (yes(bootReadAnswer()) && !askMac(mac)) {
        vx::printf("\nERROR: End of input. VPD not changed.\n");
        return -1;
    }

    vx::printf("\n\nDo you wish to input a serial number?\nIf you choose no, the currently stored\n"
               "serial number ( %s",
               curSerial);
    vx::printf(") will be used. (y/n): ");
    vx::fflushStdout();
    if (yes(bootReadAnswer()) && !askSerial(serial)) {
        vx::printf("\nERROR: End of input. VPD not changed.\n");
        return -1;
    }

    uint8_t img[VPD_SIZE] = {};
    if (vpdBuild(cur, serial, mac, img) != 0) {
        const int room = VPD_SIZE - (serialOff + 2 + VPD_MAC_LEN);
        vx::printf("\nERROR: A serial number of %d characters does not fit in the VPD EEPROM"
                   " (room for %d). Nothing written.\n",
                   int(std::strlen(serial)), room);
        return -1;
    }

    for (int off = 0; off < VPD_SIZE; ++off) {
        if (i2cRandomWrite(1, I2C_DEV_VPD, off, 1, &img[off], 1) != 0) {
            vx::printf("ERROR: VPD EEPROM write failed at offset %d. The VPD may be incomplete.\n", off);
            return -1;
        }
    }
    uint8_t check[VPD_SIZE] = {};
    if (vpdEepromRead(0, check, VPD_SIZE) != 0) {
        vx::printf("ERROR: Cannot read the VPD EEPROM back to verify it.\n");
        return -1;
    }
    for (int off = 0; off < VPD_SIZE; ++off) {
        if (check[off] != img[off]) {
            vx::printf("ERROR: VPD EEPROM verify failed at offset %d (0x%02x, expected 0x%02x).\n", off,
                       check[off], img[off]);
            return -1;
        }
    }
    return 0;
}
