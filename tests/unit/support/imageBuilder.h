// imageBuilder.h - test images made from the format's definition alone: a
// big-endian image header, STK containers, and a bit-by-bit checksum that
// shares nothing with the code under test.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testimg {

constexpr uint32_t kBoard = 0x00508541u;
constexpr uint32_t kHeader = 1220;

inline void put16(std::string& s, size_t off, uint16_t v) { s[off] = char(v >> 8), s[off + 1] = char(v); }

inline void put32(std::string& s, size_t off, uint32_t v)
{
    for (int i = 0; i < 4; i++) s[off + i] = char(v >> (24 - 8 * i));
}

// The checksum as defined: the message, bit by bit from the most significant
// bit of each byte, shifted into the low end of a 16-bit register; whenever a
// 1 falls out of the top, the polynomial 0xA097 is XORed in.
inline uint16_t bitCrc(const std::string& s, size_t from, size_t to)
{
    uint32_t reg = 0;
    for (size_t i = from; i < to && i < s.size(); i++) {
        for (int bit = 7; bit >= 0; bit--) {
            bool top = (reg & 0x8000) != 0;
            reg = ((reg << 1) | ((static_cast<uint8_t>(s[i]) >> bit) & 1)) & 0xFFFF;
            if (top) reg ^= 0xA097;
        }
    }
    return static_cast<uint16_t>(reg);
}

// Stores the checksum of bytes 2 up to len at offset 0.
inline void seal(std::string& s, size_t len) { put16(s, 0, bitCrc(s, 2, len)); }

// A plain image: header, then the payload; component 0 covers the payload.
inline std::string plainImage(uint32_t target = kBoard, const std::string& payload = std::string(300, 'p'),
                              bool sealed = true)
{
    std::string s(kHeader, '\0');
    s += payload;
    put32(s, 4, target);
    put32(s, 8, static_cast<uint32_t>(s.size()));
    put32(s, 12, 1);
    put32(s, 16 + 12, static_cast<uint32_t>(payload.size())); // component 0 size, offset 0: after the header
    put32(s, 16 + 20, 0x00100000);                             // load address
    s[784] = 'A';
    s.replace(788, 10, "2008-04-28");
    s.replace(820, 8, "code.opr");
    if (sealed) seal(s, s.size());
    return s;
}

// A plain image whose component 1 is the given boot code (version 3, CRC
// field 0x0B0C), after 300 bytes of operational code.
inline std::string withBootCode(const std::string& boot, uint32_t target = kBoard)
{
    std::string s = plainImage(target, std::string(300, 'p') + boot, false);
    put32(s, 12, 2);
    put32(s, 16 + 12, 300);
    put16(s, 64, 0x0B0C);
    put32(s, 64 + 8, 3);
    put32(s, 64 + 12, static_cast<uint32_t>(boot.size()));
    put32(s, 64 + 16, 300); // after the operational code
    seal(s, s.size());
    return s;
}

// An STK container: the 88-byte fixed part, the directory, then the images.
inline std::string stk(const std::vector<std::pair<uint32_t, std::string>>& images, bool sealed = true)
{
    uint32_t headerLength = 88 + 28 * static_cast<uint32_t>(images.size());
    std::string s(headerLength, '\0');
    put16(s, 2, 0xAA55);
    put32(s, 4, 0x2288BB66u);
    put32(s, 8, static_cast<uint32_t>(images.size()));
    put32(s, 20, headerLength);
    for (size_t i = 0; i < images.size(); i++) {
        put32(s, 88 + 28 * i, static_cast<uint32_t>(s.size()));
        put32(s, 88 + 28 * i + 4, images[i].first);
        s += images[i].second;
    }
    put32(s, 12, static_cast<uint32_t>(s.size()));
    if (sealed) seal(s, s.size());
    return s;
}

inline std::string be32(uint32_t v)
{
    std::string s(4, '\0');
    return put32(s, 0, v), s;
}

} // namespace testimg
