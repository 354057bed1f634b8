// imageActivate_test.cpp - verification of the active image. (Backup activation
// is met at start-up in the system tests and cut at every write in the
// power-cut sweep.)
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

class ImageActivateTest : public TestBoard {};

} // namespace

// The verdicts on a table of images, alike for the check of the stored active
// image and the in-memory vetting the image tool uses (the file fuzz target
// checks the two agree, and the header readers with them, on mutated images).
TEST_F(ImageActivateTest, ActiveImageCheckAgreesWithTheInMemoryVetting)
{
    writeHostFile("boot.dim", "---IMAGE---\nactive\nactive\nimage1\n0\n\n");
    ASSERT_EQ(dimInitialize(), 0);
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
    std::vector<std::pair<uint32_t, std::string>> eight(7, {0x00501234, other}), nine(8, {0x00501234, other});
    eight.push_back({kBoard, good}); // the most entries the container's header may have
    nine.push_back({kBoard, good});

    const std::vector<std::pair<std::string, int>> cases = { // an image, its verdict
        {good, IMAGE_VET_OK}, {good + "bytes past the length", IMAGE_VET_OK},
        {plainImage(kBoard, ""), IMAGE_VET_OK}, // header only: 1220 bytes
        {plainImage(kBoard, std::string(16777216 - 1220, 'm')), IMAGE_VET_OK}, // the largest: 16 MiB
        {flipped(good, 0), IMAGE_VET_CRC}, {flipped(good, good.size() - 1), IMAGE_VET_CRC},
        {good.substr(0, good.size() - 1), IMAGE_VET_SHORT}, {badSize, IMAGE_VET_LENGTH}, {huge, IMAGE_VET_LENGTH},
        {"", IMAGE_VET_LENGTH}, {other, IMAGE_VET_TARGET}, {stk({{0x00501234, other}, {kBoard, good}}), IMAGE_VET_OK},
        // An STK passes on its own checksum, whatever its inner image's says.
        {stk({{0x00501234, other}, {kBoard, plainImage(kBoard, "inner", false)}}), IMAGE_VET_OK},
        {flipped(stk({{kBoard, good}}), 1400), IMAGE_VET_CRC}, {stk({{0x00501234, other}}), IMAGE_VET_LOCATE},
        {stk(eight), IMAGE_VET_OK}, {stk(nine), IMAGE_VET_LOCATE}, {stk({}), IMAGE_VET_LENGTH}, // 88 bytes long
        {badStkDir, IMAGE_VET_LOCATE}, {stk({{kBoard, innerBadSize}}), IMAGE_VET_SIZE},
        {stk({{kBoard, other}}), IMAGE_VET_TARGET}, {stk({{kBoard, stk({{kBoard, good}})}}), IMAGE_VET_SIZE},
    };
    for (size_t i = 0; i < cases.size(); i++) {
        const auto& [image, want] = cases[i];
        const auto* bytes = reinterpret_cast<const uint8_t*>(image.data());
        ImageVet vet;
        imageVetBuffer(bytes, static_cast<uint32_t>(image.size()), kBoard, &vet);
        EXPECT_EQ(vet.result, want) << "case " << i;
        writeHostFile("image1", image);
        EXPECT_EQ(imageActiveCrcCheck(), vet.result == IMAGE_VET_OK ? 0 : 1) << "case " << i;
        EXPECT_TRUE(vet.result != IMAGE_VET_TARGET || saw("not for this board")) << "case " << i;
    }
    std::remove(hostPath("image1").c_str());
    EXPECT_EQ(imageActiveCrcCheck(), 1);
    // An active name of up to 19 characters is the image started; a longer
    // one does not fit its 20 bytes and the default name stands instead.
    for (const std::string& name : {std::string(19, 'n'), std::string(20, 'n')}) {
        writeHostFile("boot.dim", "---IMAGE---\nactive\nactive\n" + name + "\n0\n\n");
        ASSERT_EQ(dimInitialize(), 0);
        char got[BOOT_IMAGE_NAME_LEN];
        EXPECT_EQ(imageActiveNameGet(got, true), name.size() < 20 ? 0 : -1);
        EXPECT_EQ(std::string(got), name.size() < 20 ? name : "image1");
    }
}
