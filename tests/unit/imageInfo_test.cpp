// imageInfo_test.cpp - the information display of the active image (option 6).
// The whole report, in its formats, is compared in the system launch test;
// here the fields that test leaves at one value, and the optional parts.
#include "osapi.h"

#include <gtest/gtest.h>

#include <string>

#include "image/dim.h"
#include "image/imageActivate.h"
#include "image/imageInfo.h"
#include "support/imageBuilder.h"
#include "support/testBoard.h"
#include "support/textCheck.h"

using namespace testimg;

namespace {

class ImageInfo : public TestBoard {
protected:
    std::string show(const std::string& image)
    {
        writeHostFile("image2", image);
        dimReset();
        writeHostFile("boot.dim", "---IMAGE---\nactive\nactive\nimage2\n0\n\n");
        EXPECT_EQ(dimInitialize(), 0);
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
    put16(s, 16, 0xBEEF); // component 0 CRC
    put32(s, 16 + 28, 1); // its FLASH flag
    put16(s, 64, 0x0C0D); // component 1 CRC
    put32(s, 64 + 8, 42); // boot code version
    s.replace(784, 4, {static_cast<char>(rel), 5, 6, static_cast<char>(build)});
    seal(s, s.size());
    return s;
}

TEST_F(ImageInfo, ReportFieldsOptionalPartsAndStkOffsets)
{
    std::string out = show(infoImage('A', 9));
    EXPECT_HAS(out, "FLASH flag....................1\nOperational Code CRC...........................0xBEEF\n\n"
                    "Boot Code Version..............................42\n");
    EXPECT_HAS(out, "Boot Code CRC..................................0xC0D\n\nVPD - rel A ver 5 maint_lvl 6 build_num 9\n");
    EXPECT_HAS(show(infoImage(3, 0)), "VPD - rel 3 ver 5 maint_lvl 6 \n      Timestamp");
    out = show(plainImage());
    EXPECT_LACKS(out, "Boot Code");
    EXPECT_HAS(out, "Operational Code CRC...........................0x0\n\nVPD - rel A ver 0 maint_lvl 0 \n");

    std::string inner = plainImage();
    std::string container = stk({{0x00501234, plainImage(0x00501234)}, {kBoard, inner}});
    uint32_t at = static_cast<uint32_t>(container.size() - inner.size());
    char want[128];
    std::snprintf(want, sizeof want, "Operational Code Offset........................0x%x (%u)\n", at, at);
    EXPECT_HAS(show(container), want);

    EXPECT_LACKS(show(stk({})), "The following image");
    std::remove(hostPath("image2").c_str());
    EXPECT_EQ(imageInfoShow(), -1);
}

} // namespace
