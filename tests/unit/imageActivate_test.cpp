// imageActivate_test.cpp - verification of the active image, backup activation
// and the start mode file.
// The boundary header comes first: its Stat::st_mtime must not meet the
// host's st_mtime macro, which the test framework's headers bring in.
#include "osapi.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "image/dim.h"
#include "image/imageActivate.h"
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

    std::string printed()
    {
        vx::fflushStdout();
        return peer().output();
    }

    bool saw(const std::string& text) { return printed().find(text) != std::string::npos; }

    // image1 active, image2 backup, with the given files.
    void twoImages(const std::string& one, const std::string& two)
    {
        writeHostFile("boot.dim", record("active", "image1") + record("backup", "image2"));
        writeHostFile("image1", one);
        writeHostFile("image2", two);
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
    writeHostFile("boot.dim", record("active", "image1"));
    ASSERT_EQ(dimInitialize(), 0);
    std::string good = plainImage();
    EXPECT_EQ(checkImage1(good), 0);

    // Any byte from offset 2 up to the length, and the stored checksum itself.
    for (size_t at : {size_t(2), size_t(900), good.size() - 1, size_t(0)}) {
        std::string bad = good;
        bad[at] ^= 0x01;
        EXPECT_EQ(checkImage1(bad), 1) << at;
    }
    EXPECT_EQ(checkImage1(good + "trailing bytes"), 0);
    EXPECT_EQ(checkImage1(good.substr(0, good.size() - 1)), 1); // shorter than it claims

    std::string small = plainImage(kBoard, "");
    EXPECT_EQ(checkImage1(small), 0); // header only: 1220 bytes
    std::string tooSmall = small.substr(0, 1219);
    put32(tooSmall, 8, 1219);
    seal(tooSmall, 1219);
    EXPECT_EQ(checkImage1(tooSmall), 1);
    std::string huge = good;
    put32(huge, 8, 16777217);
    EXPECT_EQ(checkImage1(huge), 1);

    std::remove(hostPath("image1").c_str());
    EXPECT_EQ(imageActiveCrcCheck(), 1);
    EXPECT_EQ(checkImage1(""), 1);
}

TEST_F(ImageActivateTest, OnlyImagesThisBoardCanStartPass)
{
    writeHostFile("boot.dim", record("active", "image1"));
    ASSERT_EQ(dimInitialize(), 0);

    EXPECT_EQ(checkImage1(plainImage(0x00501234)), 1); // checksum fine, another target
    EXPECT_TRUE(saw("not for this board"));

    // An STK passes on its own checksum, whatever its inner image's says.
    std::string inner = plainImage(kBoard, std::string(100, 'i'), false);
    EXPECT_EQ(checkImage1(stk({{0x00501234, plainImage(0x00501234)}, {kBoard, inner}})), 0);
    std::string broken = stk({{kBoard, plainImage()}});
    broken[broken.size() - 1] ^= 0x20;
    EXPECT_EQ(checkImage1(broken), 1);

    EXPECT_EQ(checkImage1(stk({{0x00501234, plainImage(0x00501234)}})), 1);
    EXPECT_EQ(checkImage1(stk({})), 1);

    // An inner image whose size breaks the bounds.
    std::string badSize = plainImage();
    put32(badSize, 8, 100);
    EXPECT_EQ(checkImage1(stk({{kBoard, badSize}})), 1);
}

TEST_F(ImageActivateTest, ActiveNameFallsBackToImage1)
{
    char name[BOOT_IMAGE_NAME_LEN];
    writeHostFile("image1", plainImage());
    writeHostFile("boot.dim", record("backup", "image2"));
    ASSERT_EQ(dimInitialize(), 0);
    EXPECT_EQ(imageActiveCrcCheck(), 0);
    EXPECT_TRUE(saw("ActiveImage could not be found\n"));
    EXPECT_EQ(imageActiveNameGet(name, true), -1);
    EXPECT_STREQ(name, "image1");
    EXPECT_STREQ(bootImageName, "image1");

    // A name that does not fit bootImageName is no name.
    std::string longName(25, 'L');
    writeHostFile(longName, plainImage(0x00501234));
    dimReset();
    writeHostFile("boot.dim", record("active", longName));
    ASSERT_EQ(dimInitialize(), 0);
    EXPECT_EQ(imageActiveNameGet(name, true), -1);
    EXPECT_STREQ(name, "image1");
    EXPECT_EQ(imageActiveCrcCheck(), 0); // image1 was checked, not the long name

    dimReset();
    writeHostFile("boot.dim", record("active", std::string(19, 'k')));
    ASSERT_EQ(dimInitialize(), 0);
    EXPECT_EQ(imageActiveNameGet(name, true), 0);
    EXPECT_EQ(std::string(name), std::string(19, 'k'));
}

TEST_F(ImageActivateTest, BackupActivation)
{
    std::string corrupt = plainImage();
    corrupt[1500] ^= 1;

    twoImages(corrupt, plainImage(kBoard, std::string(40, 'b')));
    EXPECT_EQ(imageActiveCrcCheck(), 1);
    EXPECT_EQ(imageBackupActivate(), 0);
    EXPECT_TRUE(saw("Backup image - image2 activated.\n"));
    EXPECT_STREQ(bootImageName, "image2");
    EXPECT_EQ(readHostFile("boot.dim"), record("backup", "image1") + record("active", "image2"));

    // A backup built for another board fails; the directory stays swapped.
    dimReset();
    imageActivateReset();
    twoImages(corrupt, plainImage(0x00501234));
    EXPECT_EQ(imageBackupActivate(), 1);
    EXPECT_TRUE(saw("Backup Image failed crc check. \n"));
    EXPECT_STREQ(bootImageName, "image1");
    EXPECT_EQ(readHostFile("boot.dim"), record("backup", "image1") + record("active", "image2"));
}

TEST_F(ImageActivateTest, NoUsableBackupName)
{
    writeHostFile("boot.dim", record("active", "image1"));
    ASSERT_EQ(dimInitialize(), 0);
    std::string before = readHostFile("boot.dim");
    EXPECT_EQ(imageBackupActivate(), 1);
    EXPECT_TRUE(saw("No Backup Image available.\n"));
    EXPECT_EQ(readHostFile("boot.dim"), before);

    // A backup whose name does not fit bootImageName counts as none.
    dimReset();
    std::string longName(30, 'x');
    writeHostFile(longName, plainImage());
    writeHostFile("boot.dim", record("active", "image1") + record("backup", longName));
    ASSERT_EQ(dimInitialize(), 0);
    before = readHostFile("boot.dim");
    EXPECT_EQ(imageBackupActivate(), 1);
    EXPECT_EQ(readHostFile("boot.dim"), before);
    EXPECT_STREQ(bootImageName, "image1");
}

TEST_F(ImageActivateTest, DiagModeFile)
{
    EXPECT_EQ(diagModeGet(), 2);
    EXPECT_EQ(readHostFile("diag_config.cfg"), be32(2));
    // The cached mode is not written again.
    writeHostFile("diag_config.cfg", "mark");
    EXPECT_EQ(diagModeSet(2), 0);
    EXPECT_EQ(readHostFile("diag_config.cfg"), "mark");
    EXPECT_EQ(diagModeSet(1), 0);
    EXPECT_EQ(readHostFile("diag_config.cfg"), be32(1));
    EXPECT_EQ(diagModeGet(), 1);

    // After a power-on the file is read.
    imageActivateReset();
    EXPECT_EQ(diagModeGet(), 1);
    imageActivateReset();
    writeHostFile("diag_config.cfg", be32(7));
    EXPECT_EQ(diagModeGet(), 2);
    imageActivateReset();
    writeHostFile("diag_config.cfg", std::string("\0", 1)); // cut short
    EXPECT_EQ(diagModeGet(), 2);
}

TEST_F(ImageActivateTest, DiagImagePresence)
{
    EXPECT_EQ(diagImageExists(), 1);
    EXPECT_TRUE(saw("\nDiagnostic file diag_image.stk does not exist\n"));
    writeHostFile("diag_image.stk", "diag");
    EXPECT_EQ(diagImageExists(), 0);
}
