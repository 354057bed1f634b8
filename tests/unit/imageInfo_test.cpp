// imageInfo_test.cpp - the information display of the active image (option 6).
#include "osapi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/dim.h"
#include "image/image.h"
#include "image/imageActivate.h"
#include "image/imageInfo.h"
#include "support/imageBuilder.h"
#include "support/testBoard.h"
#include "support/textCheck.h"

using namespace testimg;

namespace {

class ImageInfo : public TestBoard {
protected:
    void SetUp() override
    {
        TestBoard::SetUp();
        dimReset();
        imageActivateReset();
        writeHostFile("boot.dim", "---IMAGE---\nactive\nactive\nimage2\n0\n\n");
        ASSERT_EQ(dimInitialize(), 0);
    }

    std::string show(const std::string& image)
    {
        writeHostFile("image2", image);
        takeOutput();
        imageInfoShow();
        vx::fflushStdout();
        return takeText();
    }
};

// An image with boot code, each field of the report set apart.
std::string infoImage(uint8_t rel, uint8_t build)
{
    std::string s = withBootCode(std::string(40, 'b'));
    put16(s, 16, 0xBEEF);   // component 0 CRC
    put32(s, 16 + 28, 1);   // its FLASH flag
    put16(s, 64, 0x0C0D);   // component 1 CRC
    put32(s, 64 + 8, 42);   // boot code version
    s.replace(784, 4, {static_cast<char>(rel), 5, 6, static_cast<char>(build)});
    seal(s, s.size());
    return s;
}

} // namespace

TEST_F(ImageInfo, ReportWithBootCode)
{
    std::string image = infoImage('A', 9);
    unsigned crc = (static_cast<uint8_t>(image[0]) << 8) | static_cast<uint8_t>(image[1]);
    char crcLine[128];
    std::snprintf(crcLine, sizeof crcLine, "CRC............................................0x%x (%u)\n", crc, crc);
    EXPECT_EQ(show(image),
              std::string("\n\n\nThe following image is in the Flash File System:\n\n"
                          "File Name......................................image2\n") +
                  crcLine +
                  "Target Device..................................0x00508541\n"
                  "Size...........................................0x618 (1560)\n"
                  "Number of Components...........................2\n\n"
                  "Operational Code Size..........................0x12c (300)\n"
                  "Operational Code Offset........................0x0 (0)\n"
                  "Operational Code FLASH flag....................1\n"
                  "Operational Code CRC...........................0xBEEF\n\n"
                  "Boot Code Version..............................42\n"
                  "Boot Code Size.................................0x28 (40)\n"
                  "Boot Code Offset...............................0x12c (300)\n"
                  "Boot Code FLASH flag...........................0\n"
                  "Boot Code CRC..................................0xC0D\n\n"
                  "VPD - rel A ver 5 maint_lvl 6 build_num 9\n"
                  "      Timestamp - 2008-04-28\n      File - code.opr\n");
}

TEST_F(ImageInfo, NumericReleaseNoBuildNumberNoBootCode)
{
    std::string out = show(plainImage());
    EXPECT_LACKS(out, "Boot Code");
    EXPECT_HAS(out, "Operational Code CRC...........................0x0\n\nVPD - rel A ver 0 maint_lvl 0 \n");

    out = show(infoImage(3, 0));
    EXPECT_HAS(out, "VPD - rel 3 ver 5 maint_lvl 6 \n      Timestamp");
}

TEST_F(ImageInfo, StkOffsetsIncludeTheImagesPosition)
{
    std::string inner = plainImage();
    std::string container = stk({{0x00501234, plainImage(0x00501234)}, {kBoard, inner}});
    uint32_t at = static_cast<uint32_t>(container.size() - inner.size());
    std::string out = show(container);
    char want[128];
    std::snprintf(want, sizeof want, "Operational Code Offset........................0x%x (%u)\n", at, at);
    EXPECT_HAS(out, want);
}

TEST_F(ImageInfo, UnreadableHeaderShowsNoReport)
{
    EXPECT_EQ(show(stk({})).find("The following image"), std::string::npos);
    std::remove(hostPath("image2").c_str());
    EXPECT_EQ(imageInfoShow(), -1);
}
