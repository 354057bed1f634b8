// image_test.cpp - the image checksum, the validity rules and the header reader,
// against images built from the format's definition (support/imageBuilder.h).
// The boundary header comes first: its Stat::st_mtime must not meet the
// host's st_mtime macro, which the test framework's headers bring in.
#include "osapi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "image/image.h"
#include "support/imageBuilder.h"
#include "support/testBoard.h"

using namespace testimg;

namespace {

const uint8_t* bytes(const std::string& s)
{
    return reinterpret_cast<const uint8_t*>(s.data());
}

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

class ImageTest : public TestBoard {
protected:
    std::string printed()
    {
        vx::fflushStdout();
        return peer().output();
    }

    // Reads the header into a marked struct; returns the result.
    int readHeader(const char* name, ImageHeader* hdr)
    {
        std::memset(hdr, 0x5A, sizeof *hdr);
        return readImageHeader(name, hdr);
    }

    static bool untouched(const ImageHeader& hdr)
    {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(&hdr);
        for (size_t i = 0; i < sizeof hdr; i++)
            if (p[i] != 0x5A)
                return false;
        return true;
    }
};

} // namespace

TEST(ImageCrc, KnownVectorsAndReference)
{
    EXPECT_EQ(imageCrc16(bytes("abc"), 3), 0x20FE);
    EXPECT_EQ(imageCrc16(bytes("123456789"), 9), 0x40DE);
    EXPECT_EQ(imageCrc16(bytes(""), 0), 0);

    // Every length around the multi-byte step, and crcUpdate byte by byte.
    std::string data = pattern(1000);
    for (size_t len : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 1000u}) {
        EXPECT_EQ(imageCrc16(bytes(data), static_cast<uint32_t>(len)), bitCrc(data, 0, len)) << len;
        crcTableInit();
        uint16_t reg = 0;
        for (size_t i = 0; i < len; i++)
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
    EXPECT_FALSE(imageSizeValid(0)); // the subtraction wraps
    EXPECT_FALSE(imageSizeValid(100));

    std::string first(16, '\0');
    put32(first, 8, 5000);
    put32(first, 12, 7000);
    EXPECT_EQ(checksumLength(bytes(first)), 5000u);
    put16(first, 2, 0xAA55); // magic1 alone is still a plain image
    EXPECT_EQ(checksumLength(bytes(first)), 5000u);
    put32(first, 4, 0x2288BB66u);
    EXPECT_EQ(checksumLength(bytes(first)), 7000u);
}

TEST_F(ImageTest, FileCrcRangesAndChunks)
{
    std::string data = pattern(300000); // several thousand 128-byte chunks
    writeHostFile("f.bin", data);
    EXPECT_EQ(fileCrc("f.bin", 300000), bitCrc(data, 2, 300000));
    EXPECT_EQ(fileCrc("f.bin", 128001), bitCrc(data, 2, 128001));
    EXPECT_EQ(fileCrc("f.bin", 131), bitCrc(data, 2, 131));
    EXPECT_EQ(fileCrc("f.bin", 2), 0);
    EXPECT_EQ(fileCrc("f.bin", 0), 0);
    // Shorter than the length: up to its end.
    EXPECT_EQ(fileCrc("f.bin", 400000), bitCrc(data, 2, 300000));
    writeHostFile("g.bin", data.substr(0, 256));
    EXPECT_EQ(fileCrc("g.bin", 1000), bitCrc(data, 2, 256));
    EXPECT_EQ(fileCrc("missing.bin", 1000), 1);
}

TEST(ImageHeaderCodec, TextFieldsTerminatedAndRoundTrip)
{
    std::string raw = plainImage().substr(0, kHeader);
    std::memset(&raw[788], 'T', 32);        // timestamp without a NUL
    std::memset(&raw[820], 'F', 1220 - 820); // file name up to the header's end
    ImageHeader hdr;
    imageHeaderDecode(bytes(raw), &hdr);
    EXPECT_EQ(std::string(hdr.timestamp), std::string(32, 'T'));
    EXPECT_EQ(std::string(hdr.file), std::string(400, 'F'));
    EXPECT_EQ(hdr.targetDevice, kBoard);
    EXPECT_EQ(hdr.rel, 'A');
    EXPECT_EQ(hdr.components[0].loadAddress, 0x00100000u);

    std::string back(kHeader, '\0');
    imageHeaderEncode(&hdr, reinterpret_cast<uint8_t*>(back.data()));
    EXPECT_EQ(back.substr(2), raw.substr(2));
}

TEST_F(ImageTest, PlainHeader)
{
    std::string img = plainImage(kBoard, std::string(500, 'x'));
    put16(img, 2, 0xAA55); // no magic2: still a plain image
    writeHostFile("image1", img);
    ImageHeader hdr;
    ASSERT_EQ(readHeader("image1", &hdr), 0);
    EXPECT_EQ(hdr.size, 1720u);
    EXPECT_EQ(hdr.targetDevice, kBoard);
    EXPECT_EQ(hdr.numComponents, 1u);
    EXPECT_EQ(hdr.components[0].size, 500u);
    EXPECT_EQ(hdr.components[0].offset, 0u);
    EXPECT_STREQ(hdr.timestamp, "2008-04-28");
    EXPECT_STREQ(hdr.file, "code.opr");
}

TEST_F(ImageTest, StkSelectsThisBoardsImage)
{
    std::string other = plainImage(0x00501234, std::string(10, 'o'));
    std::string mine = plainImage(kBoard, std::string(20, 'm'));
    struct Case {
        std::vector<std::pair<uint32_t, std::string>> images;
        size_t index;
    };
    Case cases[] = {
        {{{kBoard, mine}, {0x00501234, other}}, 0},
        {{{0x00501234, other}, {kBoard, mine}, {kBoard, other}}, 1},
        {{{1, other}, {2, other}, {3, other}, {4, other}, {5, other}, {6, other}, {7, other}, {kBoard, mine}}, 7},
    };
    for (const Case& c : cases) {
        std::string file = stk(c.images);
        writeHostFile("image1", file);
        uint32_t base = 88 + 28 * static_cast<uint32_t>(c.images.size());
        for (size_t i = 0; i < c.index; i++)
            base += static_cast<uint32_t>(c.images[i].second.size());
        ImageHeader hdr;
        ASSERT_EQ(readHeader("image1", &hdr), 0);
        EXPECT_EQ(hdr.targetDevice, kBoard);
        EXPECT_EQ(hdr.components[0].size, 20u);
        EXPECT_EQ(hdr.components[0].offset, base); // now a file position less 1220
        EXPECT_EQ(file.substr(kHeader + hdr.components[0].offset, 20), std::string(20, 'm'));
    }
}

TEST_F(ImageTest, StkWithoutThisBoardOrEmpty)
{
    ImageHeader hdr;
    writeHostFile("image1", stk({{0x00501234, plainImage(0x00501234)}}));
    EXPECT_EQ(readHeader("image1", &hdr), -1);
    EXPECT_TRUE(untouched(hdr));
    EXPECT_NE(printed().find(" No matching OPR files inside the STK file \n"), std::string::npos);

    writeHostFile("image1", stk({}));
    EXPECT_EQ(readHeader("image1", &hdr), -1);
    EXPECT_TRUE(untouched(hdr));
    EXPECT_NE(printed().find(" Empty STK file \n"), std::string::npos);
}

TEST_F(ImageTest, StkDirectoryBoundsRefused)
{
    // Nine entries, the last for this board: more than the 316-byte header holds.
    std::vector<std::pair<uint32_t, std::string>> nine;
    for (int i = 0; i < 8; i++)
        nine.push_back({static_cast<uint32_t>(i + 1), plainImage(1)});
    nine.push_back({kBoard, plainImage()});
    std::string file = stk(nine);
    ImageHeader hdr;
    writeHostFile("image1", file);
    EXPECT_EQ(readHeader("image1", &hdr), -1);
    EXPECT_TRUE(untouched(hdr));

    // A header length above 316, or too short for the entries it claims.
    std::string one = stk({{kBoard, plainImage()}});
    for (uint32_t len : {317u, 5000u, 0xFFFFFFFFu, 115u, 0u}) {
        std::string f = one;
        put32(f, 20, len);
        writeHostFile("image1", f);
        EXPECT_EQ(readHeader("image1", &hdr), -1) << len;
        EXPECT_TRUE(untouched(hdr));
    }
    // An entry count beyond the directory with an acceptable header length.
    put32(one, 8, 0x40000000u);
    writeHostFile("image1", one);
    EXPECT_EQ(readHeader("image1", &hdr), -1);
    EXPECT_NE(printed().find("Invalid STK header"), std::string::npos);
}

TEST_F(ImageTest, ShortReadsReportIncomplete)
{
    ImageHeader hdr;
    // The inner image's offset leaves less than a whole header before the end.
    std::string file = stk({{kBoard, plainImage()}});
    put32(file, 88, static_cast<uint32_t>(file.size()) - 100);
    writeHostFile("image1", file);
    EXPECT_EQ(readHeader("image1", &hdr), -1);
    EXPECT_TRUE(untouched(hdr));
    EXPECT_NE(printed().find("Incomplete file image1\n"), std::string::npos);

    // Offsets past the end of the file, and beyond any seek.
    for (uint32_t off : {static_cast<uint32_t>(file.size()) + 10, 0x80000000u, 0xFFFFFFFFu}) {
        put32(file, 88, off);
        writeHostFile("image1", file);
        EXPECT_EQ(readHeader("image1", &hdr), -1);
        EXPECT_TRUE(untouched(hdr));
    }

    // A plain image cut inside its header; a file shorter than 88 bytes.
    writeHostFile("image1", plainImage().substr(0, 1000));
    EXPECT_EQ(readHeader("image1", &hdr), -1);
    EXPECT_TRUE(untouched(hdr));
    writeHostFile("image1", std::string(50, '\0'));
    EXPECT_EQ(readHeader("image1", &hdr), -1);
    EXPECT_TRUE(untouched(hdr));

    EXPECT_EQ(readHeader("nothere", &hdr), -1);
    EXPECT_NE(printed().find("Error opening the image file nothere \n"), std::string::npos);
}

TEST_F(ImageTest, ComponentCountAbove16AdjustsOnlyTheSlots)
{
    std::vector<std::pair<uint32_t, std::string>> imgs = {{kBoard, plainImage()}};
    std::string file = stk(imgs);
    uint32_t base = 88 + 28;
    put32(file, base + 12, 1000000); // numComponents
    for (int i = 0; i < 16; i++)
        put32(file, base + 16 + 48 * i + 16, 100u * i);
    writeHostFile("image1", file);
    ImageHeader hdr;
    ASSERT_EQ(readHeader("image1", &hdr), 0);
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(hdr.components[i].offset, 100u * i + base);
    EXPECT_EQ(hdr.rel, 'A'); // the bytes after the slots are not disturbed
}
