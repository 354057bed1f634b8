// textCheck.h - checks on console text (whether it holds a piece, how often)
// and test data: a fixed pseudo-random sequence, zlib streams.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <zlib.h>

namespace textcheck {

inline bool has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }
inline bool lacks(const std::string& text, const std::string& piece) { return !has(text, piece); }

inline size_t count(const std::string& text, const std::string& piece)
{
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size())) ++n;
    return n;
}

// n bytes of a linear congruential sequence: data nothing compresses much.
inline std::string noise(size_t n, uint32_t seed = 12345)
{
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
    return s;
}

// s as a zlib stream (the operational code component of a startable image).
inline std::string deflate(const std::string& s, int level = Z_DEFAULT_COMPRESSION)
{
    std::string z(compressBound(uLong(s.size())), '\0');
    uLongf n = z.size();
    compress2(reinterpret_cast<Bytef*>(z.data()), &n, reinterpret_cast<const Bytef*>(s.data()), uLong(s.size()), level);
    z.resize(n);
    return z;
}

} // namespace textcheck

// On failure both print the whole text.
#define EXPECT_HAS(text, piece) EXPECT_PRED2(::textcheck::has, text, piece)
#define EXPECT_LACKS(text, piece) EXPECT_PRED2(::textcheck::lacks, text, piece)
