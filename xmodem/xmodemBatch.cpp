/*
 * xmodemBatch.cpp - batch file names: the YMODEM header block and the MODEM7
 * eleven-character name, their conversions in each direction and the MODEM7
 * name exchange of the sender.
 */
#include "xmodem/xmodemInt.h"

#include "osapi.h"

#include <cstring>

namespace xm {

namespace {

const char* baseName(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
char upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

/* One field of the number line: blanks skipped, then digits of the base.
 * False when no digit is there (the field and the ones after it stay 0). */
bool parseField(const char*& p, int base, int64_t& out)
{
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
    bool neg = false;
    if (*p == '-' || *p == '+') {
        neg = *p == '-';
        ++p;
    }
    int64_t v = 0;
    bool any = false;
    for (;; ++p) {
        int d;
        if (*p >= '0' && *p <= '9')
            d = *p - '0';
        else
            break;
        if (d >= base) break;
        any = true;
        if (v < (int64_t(1) << 40)) v = v * base + d; /* saturate far beyond 32 bits */
    }
    out = neg ? -v : v;
    return any;
}

} // namespace

void ymodem_name_out(const char* fileName)
{
    std::strncpy(transfer_name, baseName(fileName), NAME_LEN - 1);
    transfer_name[NAME_LEN - 1] = '\0';
    for (char* p = transfer_name; *p; ++p) *p = *p == ':' ? '/' : lower(*p);
}

void ymodem_name_in(char* name)
{
    for (char* p = name; *p; ++p) *p = *p == '/' ? ':' : lower(*p);
    size_t len = std::strlen(name);
    if (len > 0 && name[len - 1] == '.') name[len - 1] = '\0';
}

void modem7_name_out(const char* fileName)
{
    std::memset(transfer_name, ' ', 11);
    transfer_name[11] = '\0';
    const char* p = baseName(fileName);
    while (*p == '.') ++p;
    for (int i = 0; i < 8 && *p && *p != '.'; ++i) transfer_name[i] = *p++;
    while (*p && *p != '.') ++p;
    while (*p == '.') ++p;
    for (int i = 8; i < 11 && *p && *p != '.'; ++i) transfer_name[i] = *p++;
    for (int i = 0; i < 11; ++i) {
        char c = char(transfer_name[i] & 0x7F);
        transfer_name[i] = c == ':' ? '/' : upper(c);
    }
}

int modem7_name_in(const uint8_t raw[11])
{
    if (raw[0] == 0) return -1;
    char c11[11];
    for (int i = 0; i < 11; ++i) {
        char c = lower(char(raw[i] & 0x7F));
        c11[i] = c == '/' ? ':' : c;
    }
    int n = 0;
    for (int i = 0; i < 8 && c11[i] != ' '; ++i) transfer_name[n++] = c11[i];
    if (!(c11[8] == ' ' && c11[9] == ' ' && c11[10] == ' ')) {
        transfer_name[n++] = '.';
        for (int i = 8; i < 11 && c11[i] != ' '; ++i) transfer_name[n++] = c11[i];
    }
    transfer_name[n] = '\0';
    return 0;
}

int send_name(const char name[11])
{
    uint8_t chars[12];
    std::memcpy(chars, name, 11);
    chars[11] = CPMEOF;
    int sum = 0;
    for (uint8_t c : chars) sum += c;
    sendbyte(ACK);
    sendbyte(chars[0]);
    for (int i = 1; i < 12; ++i) {
        int c = readbyte(15);
        if (c != ACK) {
            progress(c == TIMEOUT ? "Timeout while sending MODEM7 filename\n" : "Error while sending MODEM7 filename\n");
            sendbyte(MODEM7_FAIL);
            return -1;
        }
        sendbyte(chars[i]);
    }
    int c = readbyte(16);
    if (c != (sum & 0xFF)) {
        progress("Bad checksum while sending MODEM7 filename\n");
        sendbyte(MODEM7_FAIL);
        return -1;
    }
    sendbyte(ACK);
    return 0;
}

int ymodem_header_build(uint8_t* data, const char* fileName, uint32_t size, uint32_t mtime, uint32_t mode)
{
    std::memset(data, 0, BLOCK_MAX);
    ymodem_name_out(fileName);
    size_t nameLen = std::strlen(transfer_name);
    std::memcpy(data, transfer_name, nameLen);
    char* line = reinterpret_cast<char*>(data) + nameLen + 1;
    vx::snprintf(line, size_t(BLOCK_MAX - 2) - (nameLen + 1), "%lu %o %o 0 %d %ld 0", (unsigned long)size,
                 unsigned(mtime), unsigned(mode), int(ymodem_files_left), long(ymodem_bytes_left));
    const int blockSize = data[125] != 0 ? 1024 : 128;
    const uint32_t sectors = size / 128 + 1;
    data[blockSize - 2] = uint8_t(sectors & 0xFF);
    data[blockSize - 1] = uint8_t((sectors >> 8) & 0xFF);
    ymodem_files_left -= 1;
    ymodem_bytes_left -= int32_t(size);
    if (ymodem_files_left <= 0 || ymodem_bytes_left < 0) ymodem_bytes_left = 0;
    return blockSize;
}

void ymodem_header_numbers(const char* text, YmodemHeader& h)
{
    h = YmodemHeader{};
    const char* p = text;
    int64_t v;
    auto to32 = [](int64_t x) { return int32_t(uint32_t(uint64_t(x))); };
    if (!parseField(p, 10, v)) return;
    h.length = to32(v);
    if (!parseField(p, 8, v)) return;
    h.mtime = uint32_t(v);
    if (!parseField(p, 8, v)) return;
    h.mode = uint32_t(v);
    if (!parseField(p, 8, v)) return;
    h.serial = uint32_t(v);
    if (!parseField(p, 10, v)) return;
    h.filesLeft = to32(v);
    if (!parseField(p, 10, v)) return;
    h.bytesLeft = to32(v);
    if (!parseField(p, 10, v)) return;
    h.fileType = to32(v);
}

bool name_is_local(const char* name)
{
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    for (const char* p = name; *p; ++p)
        if (*p == '/' || *p == '\\' || uint8_t(*p) < 0x20) return false;
    return true;
}

} // namespace xm
