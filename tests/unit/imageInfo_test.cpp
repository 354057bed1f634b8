// imageInfo_test.cpp - the information display of the active image (option 6).
// The whole report, in its formats, is compared in the system launch test;
// here the fields that test leaves at one value, and the optional parts.
#include "osapi.h"

#include <gtest/gtest.h>

#include <string>

#include "image/dim.h"
#include "image/imageInfo.h"
#include "support/imageBuilder.h"
#include "support/testBoard.h"
#include "support/textCheck.h"

using namespace testimg;

namespace {

// An image with boot code, each field of the report set apart.
std::string infoImage(uint8_t rel, uint8_t build)
{
    std::string s = withBootCode(std::string(40, 'b'));
    put16(s, 16, 0xBEEF); // component 0 CRC
    put32(s, 16 + 28, 1); // its FLASH flag
    put16(s, 64, 0x0C0D); // component 1 CRC
    put32(s, 64 + 8, 42); // boot code version
    s.replace(784, 4, {static_cast<char>(rel), 5, 6, static_cast<char>(build)});
    seal(s, s.size());
    return s;
}

class ImageInfo : public TestBoard {};

TEST_F(ImageInfo, ReportFieldsOptionalPartsAndStkOffsets)
{
    writeHostFile("boot.dim", "---IMAGE---\nactive\nactive\nimage2\n0\n\n");
    dimReset();
    ASSERT_EQ(dimInitialize(), 0);
    std::string inner = plainImage();
    std::string box = stk({{0x00501234, plainImage(0x00501234)}, {kBoard, inner}});
    const unsigned at = static_cast<unsigned>(box.size() - inner.size());
    char offset[96];
    std::snprintf(offset, sizeof offset, "Operational Code Offset........................0x%x (%u)\n", at, at);
    const std::tuple<std::string, std::string, bool> cases[] = {
        {infoImage('A', 9), "FLASH flag....................1\nOperational Code CRC...........................0xBEEF\n\n"
                            "Boot Code Version..............................42\n", true},
        {infoImage('A', 9), "0xC0D\n\nVPD - rel A ver 5 maint_lvl 6 build_num 9\n", true},
        {infoImage(3, 0), "VPD - rel 3 ver 5 maint_lvl 6 \n      Timestamp", true},
        {plainImage(), "Operational Code CRC...........................0x0\n\nVPD - rel A ver 0 maint_lvl 0 \n", true},
        {plainImage(), "Boot Code", false},
        {box, offset, true},
        {stk({}), "The following image", false},
    };
    for (const auto& [image, piece, shown] : cases) {
        writeHostFile("image2", image);
        takeOutput();
        imageInfoShow();
        vx::fflushStdout();
        EXPECT_EQ(textcheck::has(takeText(), piece), shown) << piece;
    }
    std::remove(hostPath("image2").c_str());
    EXPECT_EQ(imageInfoShow(), -1);
}

} // namespace
