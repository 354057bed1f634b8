// imageOpLoad_test.cpp - what option 4 does with a received file: vetting,
// the upload report, the boot code copy, the install under the active name,
// and what a refusal, a failed install or a power cut leaves behind.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "host/os/hostos.h"
#include "image/dim.h"
#include "image/imageActivate.h"
#include "image/imageLoad.h"
#include "osapi.h"
#include "osapi_file.h"
#include "support/imageBuilder.h"
#include "support/textCheck.h"
#include "support/testBoard.h"

using namespace testimg;

namespace {

const std::string kDim1 = "---IMAGE---\nactive\nactive\nimage1\n0\ndefault image\n"
                          "---IMAGE---\nbackup\nbackup\nimage2\n0\n\n";
const std::string kDim2 = "---IMAGE---\nbackup\nbackup\nimage1\n0\ndefault image\n"
                          "---IMAGE---\nactive\nactive\nimage2\n0\n\n";

class ImageOpLoad : public TestBoard {
protected:
    void directory(const std::string& text)
    {
        dimReset();
        writeHostFile("boot.dim", text);
        ASSERT_EQ(dimInitialize(), 0);
        dimText = readHostFile("boot.dim");
    }

    // Stores file as if just received; out gets the console text.
    int store(const std::string& file)
    {
        writeHostFile("xcode.bin", file);
        takeOutput();
        int rc = imageOpCodeStore("xcode.bin", kBoard);
        vx::fflushStdout();
        out = takeText();
        return rc;
    }

    // A refusal leaves the stored images and directory as they were.
    void expectRefused(const std::string& file, const std::string& message)
    {
        std::string old1 = readHostFile("image1"), old2 = readHostFile("image2");
        EXPECT_EQ(store(file), 1) << out;
        EXPECT_HAS(out, message);
        EXPECT_LACKS(out, "Storing Operational code");
        EXPECT_FALSE(hostFileExists("xcode.bin"));
        EXPECT_FALSE(hostFileExists("bootcode.new"));
        EXPECT_EQ(readHostFile("image1"), old1);
        EXPECT_EQ(readHostFile("image2"), old2);
        EXPECT_EQ(readHostFile("boot.dim"), dimText);
    }

    std::string out;
    std::string dimText;
};

// The report's lines are compared whole in the system load and launch tests;
// here their place between the checks and the install.
TEST_F(ImageOpLoad, ImageWithBootCodeIsReportedAndInstalledUnderTheActiveName)
{
    directory(kDim1);
    writeHostFile("image1", plainImage(kBoard, "old one"));
    writeHostFile("image2", plainImage(kBoard, "backup"));
    std::string boot = textcheck::noise(4096);
    std::string img = withBootCode(boot);
    ASSERT_EQ(store(img), 0) << out;
    EXPECT_EQ(out.rfind("Verified operational code CRC.\n\n\nThe following code has been uploaded:\n\nCRC....", 0), 0u)
        << out;
    EXPECT_HAS(out, "Boot Code Size.................................0x1000 (4096)\n");
    EXPECT_TRUE(out.ends_with("      File - code.opr\nExtracting boot code from image...\n"
                              "Storing Operational code in Flash. This may take several minutes...\n\n"))
        << out;
    EXPECT_EQ(readHostFile("image1"), img);
    EXPECT_EQ(readHostFile("bootcode.bin"), boot);
    EXPECT_FALSE(hostFileExists("xcode.bin"));
    EXPECT_FALSE(hostFileExists("image1.new"));
    EXPECT_EQ(readHostFile("boot.dim"), dimText);
    EXPECT_EQ(imageActiveCrcCheck(), 0);
}

TEST_F(ImageOpLoad, RefusalsSayWhyAndChangeNothing)
{
    directory(kDim1);
    writeHostFile("image1", plainImage(kBoard, "old one"));
    writeHostFile("image2", plainImage(kBoard, "backup"));
    writeHostFile("bootcode.bin", "older boot code");

    expectRefused(plainImage(0x00508540), "Verified operational code CRC.\n"
                                          "ERROR: Operational code target 508540 does not match this device.\n");
    std::string bad = plainImage();
    bad[1500] ^= 0x20;
    expectRefused(bad, "ERROR: Operational code CRC is not valid.\n");
    std::string img = plainImage();
    expectRefused(img.substr(0, img.size() - 1), "ERROR: Operational code CRC is not valid.\n");
    expectRefused(img.substr(0, 10), "ERROR: ");
    expectRefused("", "ERROR: Code image size of 0 bytes is invalid.\n");

    std::string huge = plainImage();
    put32(huge, 8, 16777217);
    seal(huge, huge.size()); // the checksum over what is there matches
    expectRefused(huge, "Verified operational code CRC.\nERROR: Code image size of 16777217 bytes is invalid.\n");

    expectRefused(stk({{0x00508540, plainImage(0x00508540)}}),
                  " No matching OPR files inside the STK file \n"
                  "ERROR: Code image size of 0 bytes is invalid.\n");

    // A container whose own length is out of bounds while its image is fine.
    std::string box = stk({{kBoard, plainImage()}}, false);
    put32(box, 12, 1000);
    seal(box, 1000);
    expectRefused(box, "ERROR: Code image size of 1000 bytes is invalid.\n");
    EXPECT_EQ(readHostFile("bootcode.bin"), "older boot code");
}

TEST_F(ImageOpLoad, BootCodeHoldsExactlyTheInstalledImagesComponent)
{
    directory(kDim1);
    writeHostFile("bootcode.bin", std::string(5000, 'O'));
    ASSERT_EQ(store(withBootCode("short new")), 0) << out;
    EXPECT_EQ(readHostFile("bootcode.bin"), "short new") << "no tail of the older one";

    ASSERT_EQ(store(plainImage()), 0) << out;
    EXPECT_EQ(readHostFile("bootcode.bin"), "short new") << "an image without boot code leaves it";

    // A component reaching past the end of the image.
    std::string img = withBootCode("12345678");
    put32(img, 64 + 12, 9);
    seal(img, img.size());
    expectRefused(img, "ERROR: Boot code of 9 bytes at file position 1520 lies outside the 1528 bytes");
    img = withBootCode("12345678");
    put32(img, 64 + 16, 0xFFFFFFF0u);
    seal(img, img.size());
    expectRefused(img, "lies outside the 1528 bytes of the image.\n");
    EXPECT_EQ(readHostFile("bootcode.bin"), "short new");
}

TEST_F(ImageOpLoad, FailedInstallLeavesTheOldImageAndNoNewBootCode)
{
    directory(kDim1);
    std::string old1 = plainImage(kBoard, "old one");
    writeHostFile("image1", old1);
    writeHostFile("bootcode.bin", "older boot code");
    ASSERT_EQ(vx::mkdir("image1.new"), 0); // the aside name cannot be taken
    EXPECT_EQ(store(withBootCode("NEWBOOT")), 1);
    EXPECT_HAS(out, " Error renaming the file \nERROR: Operational code update failed.\n");
    EXPECT_EQ(readHostFile("image1"), old1);
    EXPECT_EQ(readHostFile("bootcode.bin"), "older boot code");
    EXPECT_FALSE(hostFileExists("xcode.bin"));
    EXPECT_FALSE(hostFileExists("bootcode.new"));
    EXPECT_EQ(readHostFile("boot.dim"), dimText);
}

TEST_F(ImageOpLoad, InstallOfAnUnknownNameAddsItAndDropsTheBackupFileAfterwards)
{
    // No active image: the load goes to "image1", which the directory lacks.
    directory("---IMAGE---\nbackup\nbackup\nimage2\n0\n\n");
    writeHostFile("image2", plainImage(kBoard, "backup"));
    std::string img = plainImage(kBoard, "new");
    ASSERT_EQ(store(img), 0) << out;
    EXPECT_HAS(out, "Error obtaining active image name\n");
    EXPECT_EQ(readHostFile("image1"), img);
    EXPECT_FALSE(hostFileExists("image2"));
    int state = 0;
    dimImageStateGet("image1", &state);
    EXPECT_EQ(state, 2);
}

TEST_F(ImageOpLoad, StartUpCompletesAnInstallCutShort)
{
    directory(kDim1);
    std::string old1 = plainImage(kBoard, "old one"), img = plainImage(kBoard, "new one");
    // Cut after the old image went, before the new one took its name.
    writeHostFile("image1.new", img);
    std::remove(hostPath("image1").c_str());
    dimReset();
    ASSERT_EQ(dimInitialize(), 0);
    EXPECT_EQ(readHostFile("image1"), img);
    EXPECT_FALSE(hostFileExists("image1.new"));
    // Cut before the replace began: the old image stays.
    writeHostFile("image1", old1);
    writeHostFile("image1.new", img);
    dimReset();
    ASSERT_EQ(dimInitialize(), 0);
    EXPECT_EQ(readHostFile("image1"), old1);
    EXPECT_FALSE(hostFileExists("image1.new"));
}

TEST_F(ImageOpLoad, PowerCutAtAnyWriteOfALoadLeavesABootableBoard)
{
    // An unknown target makes the install rewrite "boot.dim" too.
    const std::string dim = "---IMAGE---\nbackup\nbackup\nimage2\n0\n\n";
    std::string old2 = plainImage(kBoard, "backup"), img = withBootCode(std::string(3000, 'B'));
    bool finished = false;
    for (uint64_t n = 1; !finished && n < 50; n++) {
        writeHostFile("boot.dim", dim);
        writeHostFile("image2", old2);
        std::remove(hostPath("image1").c_str());
        dimReset();
        ASSERT_EQ(dimInitialize(), 0);
        writeHostFile("xcode.bin", img);
        host::filesSetPowerCutAfterWrites(n);
        try {
            imageOpCodeStore("xcode.bin", kBoard);
            finished = true;
        } catch (const host::PowerCutRequested&) {
            osapiFileReset(); /* the cut came inside a locked file call */
        }
        host::filesSetPowerCutAfterWrites(0);
        // The next start: the directory and its files agree on a valid image.
        dimReset();
        imageActivateReset();
        dimInitialize();
        bool usable = imageActiveCrcCheck() == 0 || imageBackupActivate() == 0;
        EXPECT_TRUE(usable) << "power cut at write " << n;
        if (hostFileExists("bootcode.bin")) {
            EXPECT_EQ(readHostFile("bootcode.bin"), std::string(3000, 'B')) << n;
        }
    }
    EXPECT_TRUE(finished);
}

TEST_F(ImageOpLoad, RandomImagesAndContainersNeverCrash)
{
    // A seeded fuzz of the header and STK reader behind the load: mutated
    // images and containers, resealed so the checks past the checksum run.
    directory(kDim1);
    std::string good = plainImage(kBoard, "good");
    writeHostFile("image1", good);
    std::mt19937 rnd(99);
    const std::string seeds[] = {withBootCode("BOOT"), stk({{0x1, plainImage(0x1)}, {kBoard, withBootCode("B2")}})};
    for (int round = 0; round < 300; round++) {
        std::string f = seeds[round % 2];
        int edits = 1 + rnd() % 6;
        for (int e = 0; e < edits; e++) {
            size_t at = rnd() % f.size();
            switch (rnd() % 3) {
            case 0: f[at] = static_cast<char>(rnd()); break;
            case 1:
                if (f.size() >= 4)
                    put32(f, at % (f.size() - 3), rnd() % 2 ? rnd() : rnd() % 4096);
                break;
            default: f.resize(at + 1); break;
            }
        }
        if (rnd() % 4 != 0 && f.size() > 2)
            seal(f, f.size());
        int rc = store(f);
        if (rc == 0) {
            EXPECT_EQ(readHostFile("image1"), f);
            writeHostFile("image1", good);
        } else {
            EXPECT_EQ(readHostFile("image1"), good);
        }
    }
}

} // namespace
