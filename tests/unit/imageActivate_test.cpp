// imageActivate_test.cpp - verification of the active image, backup activation
// and the start mode file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image/dim.h"
#include "image/image.h"
#include "image/imageActivate.h"
#include "osapi.h"
#include "support/imageBuilder.h"
#include "support/testBoard.h"

using namespace testimg;

namespace {

std::string record(const std::string& state, const std::string& name)
{
    return "---IMAGE---\n" + state + "\n" + state + "\n" + name + "\n0\n\n";
}

class ImageActivateTest : public TestBoard {
protected:
    void SetUp() override
    {
        TestBoard::SetUp();
        dimReset();
        imageActivateReset();
    }

    void directory(const std::string& text)
    {
        dimReset();
        writeHostFile("boot.dim", text);
        ASSERT_EQ(dimInitialize(), 0);
    }

    int checkImage1(const std::string& file)
    {
        writeHostFile("image1", file);
        return imageActiveCrcCheck();
    }
};

} // namespace

// The verdicts on a table of images, alike for the check of the stored active
// image and the in-memory vetting the image tool uses (the file fuzz target
// checks the two agree, and the header readers with them, on mutated images).
TEST_F(ImageActivateTest, ActiveImageCheckAgreesWithTheInMemoryVetting)
{
    directory(record("active", "image1"));
    std::string good = plainImage();
    auto flipped = [](std::string s, size_t at) { return s[at] ^= 0x01, s; };
    std::string huge = good, badSize = good, badStkDir = stk({{kBoard, good}}, false), innerBadSize = good;
    put32(huge, 8, 16777217);
    put32(badSize, 8, 1219);
    seal(badSize, 1219);
    put32(badStkDir, 20, 87);
    seal(badStkDir, badStkDir.size());
    put32(innerBadSize, 8, 100);
    const std::string other = plainImage(0x00501234);

    struct Case {
        std::string image;
        int want;
    };
    const std::vector<Case> cases = {
        {good, IMAGE_VET_OK},
        {good + "bytes past the length", IMAGE_VET_OK},
        {plainImage(kBoard, ""), IMAGE_VET_OK}, // header only: 1220 bytes
        {flipped(good, 0), IMAGE_VET_CRC},
        {flipped(good, 2), IMAGE_VET_CRC},
        {flipped(good, 1300), IMAGE_VET_CRC},
        {flipped(good, good.size() - 1), IMAGE_VET_CRC},
        {good.substr(0, good.size() - 1), IMAGE_VET_SHORT},
        {badSize, IMAGE_VET_LENGTH},
        {huge, IMAGE_VET_LENGTH},
        {"", IMAGE_VET_LENGTH},
        {other, IMAGE_VET_TARGET},
        {stk({{0x00501234, other}, {kBoard, good}}), IMAGE_VET_OK},
        // An STK passes on its own checksum, whatever its inner image's says.
        {stk({{0x00501234, other}, {kBoard, plainImage(kBoard, "inner", false)}}), IMAGE_VET_OK},
        {flipped(stk({{kBoard, good}}), 1400), IMAGE_VET_CRC},
        {stk({{0x00501234, other}}), IMAGE_VET_LOCATE},
        {stk({}), IMAGE_VET_LENGTH}, // 88 bytes long
        {badStkDir, IMAGE_VET_LOCATE},
        {stk({{kBoard, innerBadSize}}), IMAGE_VET_SIZE},
        {stk({{kBoard, other}}), IMAGE_VET_TARGET},
        {stk({{kBoard, stk({{kBoard, good}})}}), IMAGE_VET_SIZE},
    };
    for (size_t i = 0; i < cases.size(); i++) {
        const std::string& image = cases[i].image;
        const auto* bytes = reinterpret_cast<const uint8_t*>(image.data());
        ImageVet vet;
        imageVetBuffer(bytes, static_cast<uint32_t>(image.size()), kBoard, &vet);
        EXPECT_EQ(vet.result, cases[i].want) << "case " << i;
        EXPECT_EQ(checkImage1(image), vet.result == IMAGE_VET_OK ? 0 : 1) << "case " << i;
        EXPECT_TRUE(vet.result != IMAGE_VET_TARGET || saw("not for this board")) << "case " << i;
    }
    std::remove(hostPath("image1").c_str());
    EXPECT_EQ(imageActiveCrcCheck(), 1);
}

TEST_F(ImageActivateTest, BackupActivation)
{
    std::string corrupt = plainImage();
    corrupt[1500] ^= 1;
    writeHostFile("image1", corrupt);
    writeHostFile("image2", plainImage(kBoard, "backup"));
    directory(record("active", "image1") + record("backup", "image2"));
    EXPECT_EQ(imageBackupActivate(), 0);
    EXPECT_TRUE(saw("Backup image - image2 activated.\n"));
    EXPECT_STREQ(bootImageName, "image2");
    EXPECT_EQ(readHostFile("boot.dim"), record("backup", "image1") + record("active", "image2"));

    // A backup built for another board fails; the directory stays swapped.
    writeHostFile("image1", plainImage(0x00501234));
    EXPECT_EQ(imageBackupActivate(), 1);
    EXPECT_TRUE(saw("Backup Image failed crc check. \n"));
    EXPECT_STREQ(bootImageName, "image2");
    EXPECT_EQ(readHostFile("boot.dim"), record("active", "image1") + record("backup", "image2"));
}
