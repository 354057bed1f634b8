// image_test.cpp - the image checksum, the validity rules and the header reader,
// against images built from the format's definition (support/imageBuilder.h).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "image/image.h"
#include "osapi.h"
#include "support/imageBuilder.h"
#include "support/testBoard.h"

using namespace testimg;

namespace {

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (char& c : s)
        c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
    return s;
}

class ImageTest : public TestBoard {
protected:
    // Writes the file and reads its header into a marked struct: the result,
    // and on failure whether the struct was left as it was.
    int header(const std::string& file, ImageHeader* hdr)
    {
        writeHostFile("image1", file);
        std::memset(hdr, 0x5A, sizeof *hdr);
        int rc = readImageHeader("image1", hdr);
        const uint8_t* p = reinterpret_cast<const uint8_t*>(hdr);
        for (size_t i = 0; rc != 0 && i < sizeof *hdr; i++)
            EXPECT_EQ(p[i], 0x5A) << "header changed by a failed read";
        return rc;
    }
};

} // namespace

TEST(ImageCrc, KnownVectorsAndReference)
{
    EXPECT_EQ(imageCrc16(bytes("abc"), 3), 0x20FE);
    EXPECT_EQ(imageCrc16(bytes("123456789"), 9), 0x40DE);
    EXPECT_EQ(imageCrc16(bytes(""), 0), 0);
    // Lengths around the multi-byte step; crcUpdate byte by byte agrees.
    std::string data = pattern(1000);
    for (uint32_t len : {1u, 7u, 8u, 9u, 17u, 1000u}) {
        EXPECT_EQ(imageCrc16(bytes(data), len), bitCrc(data, 0, len)) << len;
        crcTableInit();
        uint16_t reg = 0;
        for (uint32_t i = 0; i < len; i++)
            crcUpdate(static_cast<uint8_t>(data[i]), &reg);
        EXPECT_EQ(reg, bitCrc(data, 0, len)) << len;
    }
}

TEST(ImageRules, SizeBoundsAndChecksumLength)
{
    EXPECT_FALSE(imageSizeValid(1219));
    EXPECT_TRUE(imageSizeValid(1220));
    EXPECT_TRUE(imageSizeValid(16777216));
    EXPECT_FALSE(imageSizeValid(16777217));
    EXPECT_FALSE(imageSizeValid(100)); // the subtraction wraps

    std::string first(16, '\0');
    put32(first, 8, 5000);
    put32(first, 12, 7000);
    put16(first, 2, 0xAA55); // magic1 without magic2: a plain image
    EXPECT_EQ(checksumLength(bytes(first)), 5000u);
    put32(first, 4, 0x2288BB66u);
    EXPECT_EQ(checksumLength(bytes(first)), 7000u);
}

TEST_F(ImageTest, FileCrcRanges)
{
    std::string data = pattern(300000); // past the pause at the 1000th chunk
    writeHostFile("f.bin", data);
    // Length, and the ticks paused: one before every 1000th 128-byte chunk.
    for (auto [len, ticks] : {std::pair{300000u, 3u}, {128002u, 1u}, {128003u, 2u}, {131u, 1u}, {400000u, 3u}}) {
        uint32_t before = vx::tickGet();
        EXPECT_EQ(fileCrc("f.bin", len), bitCrc(data, 2, std::min(len, 300000u))) << len; // shorter: to its end
        EXPECT_EQ(vx::tickGet() - before, ticks) << len;
    }
    EXPECT_EQ(fileCrc("f.bin", 2), 0);
    EXPECT_EQ(fileCrc("f.bin", 0), 0);
    EXPECT_EQ(fileCrc("missing.bin", 1000), 1);
}

TEST(ImageHeaderCodec, TextFieldsAlwaysTerminated)
{
    std::string raw = plainImage().substr(0, kHeader);
    std::memset(&raw[788], 'T', 32);         // timestamp without a NUL
    std::memset(&raw[820], 'F', 1220 - 820); // file name up to the header's end
    ImageHeader hdr;
    imageHeaderDecode(bytes(raw), &hdr);
    EXPECT_EQ(std::string(hdr.timestamp), std::string(32, 'T'));
    EXPECT_EQ(std::string(hdr.file), std::string(400, 'F'));
    std::string back(kHeader, '\0');
    imageHeaderEncode(&hdr, reinterpret_cast<uint8_t*>(back.data()));
    EXPECT_EQ(back.substr(2), raw.substr(2));
}

TEST_F(ImageTest, PlainAndStkHeaders)
{
    ImageHeader hdr;
    std::string plain = plainImage(kBoard, std::string(500, 'x'));
    put16(plain, 2, 0xAA55); // no magic2: still a plain image
    ASSERT_EQ(header(plain, &hdr), 0);
    EXPECT_EQ(hdr.size, 1720u);
    EXPECT_EQ(hdr.components[0].size, 500u);
    EXPECT_EQ(hdr.components[0].offset, 0u);
    EXPECT_STREQ(hdr.timestamp, "2008-04-28");

    // The first image for this board, wherever it stands; offsets absolute.
    std::string other = plainImage(1, "o"), mine = plainImage(kBoard, std::string(20, 'm'));
    std::vector<std::pair<uint32_t, std::string>> cases[] = {
        {{kBoard, mine}, {1, other}},
        {{1, other}, {kBoard, mine}, {kBoard, other}},
        {{1, other}, {2, other}, {3, other}, {4, other}, {5, other}, {6, other}, {7, other}, {kBoard, mine}},
    };
    for (const auto& images : cases) {
        std::string file = stk(images);
        ASSERT_EQ(header(file, &hdr), 0);
        EXPECT_EQ(hdr.components[0].size, 20u);
        EXPECT_EQ(file.substr(kHeader + hdr.components[0].offset, 20), std::string(20, 'm'));
    }

    EXPECT_EQ(header(stk({{1, other}}), &hdr), -1);
    EXPECT_TRUE(saw(" No matching OPR files inside the STK file \n"));
    EXPECT_EQ(header(stk({}), &hdr), -1);
    EXPECT_TRUE(saw(" Empty STK file \n"));
}

TEST_F(ImageTest, StkDirectoryBoundsRefused)
{
    ImageHeader hdr;
    std::vector<std::pair<uint32_t, std::string>> nine(8, {1u, plainImage(1)});
    nine.push_back({kBoard, plainImage()}); // beyond the 8 entries the header holds
    EXPECT_EQ(header(stk(nine), &hdr), -1);

    std::string one = stk({{kBoard, plainImage()}});
    for (uint32_t len : {317u, 0xFFFFFFFFu, 115u, 0u}) { // above 316, or short of the entries
        std::string f = one;
        put32(f, 20, len);
        EXPECT_EQ(header(f, &hdr), -1) << len;
    }
    put32(one, 8, 0x40000000u); // entry count beyond the directory
    EXPECT_EQ(header(one, &hdr), -1);
    EXPECT_TRUE(saw("Invalid STK header"));
}

TEST_F(ImageTest, ShortReadsReportIncomplete)
{
    ImageHeader hdr;
    std::string file = stk({{kBoard, plainImage()}});
    // Image offsets leaving less than a whole header, past the end, beyond any seek.
    for (uint32_t off : {static_cast<uint32_t>(file.size()) - 100, static_cast<uint32_t>(file.size()) + 10,
                         0x80000000u, 0xFFFFFFFFu}) {
        put32(file, 88, off);
        EXPECT_EQ(header(file, &hdr), -1) << off;
    }
    EXPECT_TRUE(saw("Incomplete file image1\n"));
    EXPECT_EQ(header(plainImage().substr(0, 1000), &hdr), -1);
    EXPECT_EQ(header(std::string(50, '\0'), &hdr), -1);
    EXPECT_EQ(readImageHeader("nothere", &hdr), -1);
    EXPECT_TRUE(saw("Error opening the image file nothere \n"));
}

TEST_F(ImageTest, ComponentCountAbove16AdjustsOnlyTheSlots)
{
    std::string file = stk({{kBoard, plainImage()}});
    const uint32_t base = 88 + 28;
    put32(file, base + 12, 1000000);
    for (uint32_t i = 0; i < 16; i++)
        put32(file, base + 16 + 48 * i + 16, 100 * i);
    ImageHeader hdr;
    ASSERT_EQ(header(file, &hdr), 0);
    for (uint32_t i = 0; i < 16; i++)
        EXPECT_EQ(hdr.components[i].offset, 100 * i + base);
    EXPECT_EQ(hdr.rel, 'A'); // the bytes after the slots are untouched
}
