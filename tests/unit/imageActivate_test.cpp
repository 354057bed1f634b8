// imageActivate_test.cpp - verification of the active image, backup activation
// and the start mode file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "image/dim.h"
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

TEST_F(ImageActivateTest, ChecksumAndLengthRules)
{
    directory(record("active", "image1"));
    std::string good = plainImage();
    EXPECT_EQ(checkImage1(good), 0);
    for (size_t at : {size_t(0), size_t(2), size_t(900), good.size() - 1}) {
        std::string bad = good;
        bad[at] ^= 0x01;
        EXPECT_EQ(checkImage1(bad), 1) << at;
    }
    EXPECT_EQ(checkImage1(good + "bytes past the length"), 0);
    EXPECT_EQ(checkImage1(good.substr(0, good.size() - 1)), 1); // shorter than it claims
    EXPECT_EQ(checkImage1(plainImage(kBoard, "")), 0);           // header only: 1220 bytes
    std::string huge = good;
    put32(huge, 8, 16777217);
    EXPECT_EQ(checkImage1(huge), 1);
    EXPECT_EQ(checkImage1(""), 1);
    std::remove(hostPath("image1").c_str());
    EXPECT_EQ(imageActiveCrcCheck(), 1);
}

TEST_F(ImageActivateTest, OnlyImagesThisBoardCanStartPass)
{
    directory(record("active", "image1"));
    EXPECT_EQ(checkImage1(plainImage(0x00501234)), 1); // checksum fine, another target
    EXPECT_TRUE(saw("not for this board"));
    // An STK passes on its own checksum, whatever its inner image's says.
    std::string inner = plainImage(kBoard, std::string(100, 'i'), false);
    EXPECT_EQ(checkImage1(stk({{0x00501234, plainImage(0x00501234)}, {kBoard, inner}})), 0);
    std::string broken = stk({{kBoard, plainImage()}});
    broken.back() ^= 0x20;
    EXPECT_EQ(checkImage1(broken), 1);
    EXPECT_EQ(checkImage1(stk({{0x00501234, plainImage(0x00501234)}})), 1);
    EXPECT_EQ(checkImage1(stk({})), 1);
    std::string badSize = plainImage();
    put32(badSize, 8, 100);
    EXPECT_EQ(checkImage1(stk({{kBoard, badSize}})), 1);
}

TEST_F(ImageActivateTest, ActiveNameFallsBackToImage1)
{
    char name[BOOT_IMAGE_NAME_LEN];
    writeHostFile("image1", plainImage());
    directory(record("backup", "image2"));
    EXPECT_EQ(imageActiveCrcCheck(), 0);
    EXPECT_TRUE(saw("ActiveImage could not be found\n"));
    EXPECT_STREQ(bootImageName, "image1");

    // A name that does not fit bootImageName is no name: image1 is checked.
    std::string longName(20, 'L');
    writeHostFile(longName, plainImage(0x00501234));
    directory(record("active", longName));
    EXPECT_EQ(imageActiveNameGet(name, true), -1);
    EXPECT_STREQ(name, "image1");
    EXPECT_EQ(imageActiveCrcCheck(), 0);
    directory(record("active", std::string(19, 'k')));
    EXPECT_EQ(imageActiveNameGet(name, true), 0);
    EXPECT_EQ(std::string(name), std::string(19, 'k'));
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

TEST_F(ImageActivateTest, NoUsableBackupName)
{
    // One image only, or a backup name that does not fit bootImageName.
    for (const std::string& text : {record("active", "image1"),
                                    record("active", "image1") + record("backup", std::string(30, 'x'))}) {
        writeHostFile(std::string(30, 'x'), plainImage());
        directory(text);
        EXPECT_EQ(imageBackupActivate(), 1);
        EXPECT_TRUE(saw("No Backup Image available.\n"));
        EXPECT_EQ(readHostFile("boot.dim"), text);
        EXPECT_STREQ(bootImageName, "image1");
    }
}

TEST_F(ImageActivateTest, DiagModeFileAndImage)
{
    EXPECT_EQ(diagModeGet(), 2);
    EXPECT_EQ(readHostFile("diag_config.cfg"), be32(2));
    writeHostFile("diag_config.cfg", "mark");
    EXPECT_EQ(diagModeSet(2), 0); // the cached mode is not written again
    EXPECT_EQ(readHostFile("diag_config.cfg"), "mark");
    EXPECT_EQ(diagModeSet(1), 0);
    EXPECT_EQ(readHostFile("diag_config.cfg"), be32(1));
    imageActivateReset(); // a power-on reads the file
    EXPECT_EQ(diagModeGet(), 1);
    for (const std::string& content : {be32(7), std::string(1, '\0')}) {
        imageActivateReset();
        writeHostFile("diag_config.cfg", content);
        EXPECT_EQ(diagModeGet(), 2);
    }

    EXPECT_EQ(diagImageExists(), 1);
    EXPECT_TRUE(saw("\nDiagnostic file diag_image.stk does not exist\n"));
    writeHostFile("diag_image.stk", "diag");
    EXPECT_EQ(diagImageExists(), 0);
}
