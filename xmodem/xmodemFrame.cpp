/*
 * xmodemFrame.cpp - block framing and error checks: the CRC-16 table and
 * checksum, block assembly, the receive-side handling of data bytes by
 * transfer type, and the send-side file reading with its conversions.
 */
#include "xmodem/xmodemInt.h"

#include "osapi.h"

#include <array>
#include <cstring>

namespace xm {

namespace {

constexpr std::array<uint16_t, 256> makeCrcTable()
{
    std::array<uint16_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        uint16_t crc = uint16_t(i << 8);
        for (int b = 0; b < 8; ++b) crc = uint16_t((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        t[size_t(i)] = crc;
    }
    return t;
}

constexpr std::array<uint16_t, 256> crcTable = makeCrcTable();
static_assert(crcTable[1] == 0x1021 && crcTable[255] == 0x1EF0);

/* The file being sent. */
int readerFd = -1;
uint8_t fileBuf[1024];
int32_t fileFill = 0;
int32_t filePos = 0;

} // namespace

uint16_t crc16_update(uint16_t crc, uint8_t byte)
{
    return uint16_t(((crc << 8) & 0xFF00) ^ crcTable[((crc >> 8) ^ byte) & 0xFF]);
}

uint16_t crc16(const uint8_t* data, size_t len)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < len; ++i) crc = crc16_update(crc, data[i]);
    return crc;
}

uint8_t checksum8(const uint8_t* data, size_t len)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < len; ++i) sum = uint8_t(sum + data[i]);
    return sum;
}

int build_block(uint8_t* frame, int number, const uint8_t* data, int size, bool crc)
{
    frame[0] = uint8_t(size == 1024 ? STX : SOH);
    frame[1] = uint8_t(number & 0xFF);
    frame[2] = uint8_t(255 - (number & 0xFF));
    std::memcpy(frame + 3, data, size_t(size));
    if (crc) {
        uint16_t c = crc16(data, size_t(size));
        frame[3 + size] = uint8_t(c >> 8);
        frame[4 + size] = uint8_t(c & 0xFF);
        return size + 5;
    }
    frame[3 + size] = checksum8(data, size_t(size));
    return size + 4;
}

void rx_accept(RxBlockState& st, const uint8_t* in, int n, uint8_t* out, int* kept)
{
    int k = *kept;
    uint16_t check = st.check;
    const bool binary = !st.text && !st.apple;
    for (int i = 0; i < n; ++i) {
        const uint8_t b = in[i];
        check = st.crc ? crc16_update(check, b) : uint16_t((check + b) & 0xFF);
        ++bytes_received;
        if (ymodem_length_known && bytes_received > ymodem_length) continue;
        if (binary) {
            out[k++] = b;
            continue;
        }
        uint8_t s = uint8_t(b & 0x7F);
        if (b == 0x00) continue;
        if (b == 0x0D) {
            if (st.text) continue;
            s = 0x0A; /* apple: CR is the line end */
        } else if (b == CPMEOF) {
            st.mark = true;
            continue;
        }
        if (st.mark) continue;
        out[k++] = s;
    }
    st.check = check;
    *kept = k;
}

void file_reader_reset(int fd)
{
    readerFd = fd;
    fileFill = 0;
    filePos = 0;
}

int read_file_byte()
{
    if (filePos >= fileFill) {
        int32_t n = vx::read(readerFd, fileBuf, sizeof fileBuf);
        if (n < 0) return -2;
        if (n == 0) return -1;
        fileFill = n;
        filePos = 0;
    }
    return fileBuf[filePos++];
}

int tx_fill(TxFillState& st, uint8_t* data, int size)
{
    int n = 0;
    while (n < size) {
        if (st.pendingLf) {
            data[n++] = 0x0A;
            st.pendingLf = false;
            continue;
        }
        int b = read_file_byte();
        if (b < 0) {
            st.eof = true;
            st.readError = b == -2;
            break;
        }
        if (b == 0x0A && st.text) {
            data[n++] = 0x0D;
            if (n < size)
                data[n++] = 0x0A;
            else
                st.pendingLf = true;
        } else if (b == 0x0A && st.apple) {
            data[n++] = 0x0D;
        } else {
            data[n++] = uint8_t(b);
        }
    }
    return n;
}

} // namespace xm
