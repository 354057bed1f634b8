// image_test.cpp - the validity rules, the file checksum, the header reader and the information
// display (option 6), against images built from the format's definition (every sealed image's
// checksum is held to the definition's bit-by-bit one by the activation table and load search).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "image/dim.h"
#include "image/image.h"
#include "image/imageInfo.h"
#include "osapi.h"
#include "support/imageBuilder.h"
#include "support/testBoard.h"
#include "support/textCheck.h"

using namespace testimg;

namespace {

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

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

// (The size bounds are held by the activation table and the load search.)
TEST(ImageRules, ChecksumLength)
{
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
    std::string data = textcheck::noise(300000); // past the pause at the 1000th chunk
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

// Bounds of STK directories, entry offsets and component counts are searched
// in the load's tests (the start-up's file reader against the in-memory
// vetting, under the sanitizers); here which image is picked, and what each
// failure says.
TEST_F(ImageTest, StkHeaders)
{
    ImageHeader hdr;
    // The first of two images for this board, the seventh of eight entries;
    // offsets absolute.
    std::string other = plainImage(1, "o"), mine = plainImage(kBoard, std::string(20, 'm'));
    std::vector<std::pair<uint32_t, std::string>> images(6, {1, other});
    images.insert(images.end(), {{kBoard, mine}, {kBoard, other}});
    std::string file = stk(images);
    ASSERT_EQ(header(file, &hdr), 0);
    EXPECT_EQ(file.substr(kHeader + hdr.components[0].offset, hdr.components[0].size), std::string(20, 'm'));

    std::string nine = stk({{1, other}}), far = stk({{kBoard, mine}});
    put32(nine, 8, 9);
    put32(far, 88, static_cast<uint32_t>(far.size()) - 100);
    const std::pair<std::string, std::string> failures[] = {
        {stk({{1, other}}), " No matching OPR files inside the STK file \n"},
        {stk({}), " Empty STK file \n"},
        {nine, "Invalid STK header in image1: 9 entries, header length 116\n"},
        {far, "Incomplete file image1\n"},
        {plainImage().substr(0, 87), "Incomplete file image1\n"},
    };
    for (const auto& [file, message] : failures) {
        EXPECT_EQ(header(file, &hdr), -1) << message;
        EXPECT_TRUE(saw(message)) << message;
    }
    EXPECT_EQ(readImageHeader("nothere", &hdr), -1);
    EXPECT_TRUE(saw("Error opening the image file nothere \n"));
}

// The report's lines with boot code and its offsets in an STK container are
// checked in the system load test's upload report; here the other forms.
TEST_F(ImageTest, InformationDisplayOptionalParts)
{
    writeHostFile("boot.dim", "---IMAGE---\nactive\nactive\nimage2\n0\n\n");
    dimReset();
    ASSERT_EQ(dimInitialize(), 0);
    std::string numbered = plainImage();
    numbered[784] = 3; // a release shown as a number, and no build number
    seal(numbered, numbered.size());
    auto show = [&](const std::string& image) {
        writeHostFile("image2", image);
        takeOutput();
        imageInfoShow();
        return takeText();
    };
    EXPECT_HAS(show(numbered), "CRC...........................0x0\n\nVPD - rel 3 ver 0 maint_lvl 0 \n      Timestamp");
    EXPECT_LACKS(show(stk({})), "The following image");
    std::remove(hostPath("image2").c_str());
    EXPECT_EQ(imageInfoShow(), -1);
}
