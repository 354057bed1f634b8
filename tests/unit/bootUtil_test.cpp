// The utilities menu loop, the directory listing and the file deletion.
#include "bsp/cpu/tarn8541/vxworks/start/bootUtil.h"
#include "osapi.h"
#include "support/testBoard.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
    return n;
}

const char* const kMenuEnd = "0  - Return to main menu\nSelect option (0-17): ";

class UtilMenu : public TestBoard {
protected:
    std::string menu(const std::string& input)
    {
        takeOutput();
        peer().type(input);
        bootUtilMenu();
        return takeText();
    }
    std::string listing()
    {
        takeOutput();
        bootDirListing();
        return takeText();
    }
    // A file created through the volume at the given calendar time.
    void create(const std::string& name, size_t size)
    {
        int fd = vx::open(name.c_str(), vx::CREAT | vx::RDWR | vx::TRUNC, 0644);
        ASSERT_GE(fd, 0) << name;
        std::string data(size, 'd');
        ASSERT_EQ(vx::write(fd, data.data(), data.size()), int32_t(size));
        vx::close(fd);
    }
    void setClock(int year, int mon, int day, int h, int m, int s)
    {
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = mon - 1;
        t.tm_mday = day;
        t.tm_hour = h;
        t.tm_min = m;
        t.tm_sec = s;
        vx::clockSettime(vx::mktime(&t), 0);
    }
};

TEST_F(UtilMenu, MenuLoopReprintsAfterEveryOptionAndZeroReturns)
{
    std::string out = menu("?\r18\r255\r9\r10\r13\r0\r");
    EXPECT_EQ(count(out, "\nBoot code utilities menu\nOptions are:\n1  - Read/Write memory\n"), 7u);
    EXPECT_EQ(count(out, kMenuEnd), 7u);
    EXPECT_NE(out.find("16 - Dump VPD EEPROM\n17 - Delete a file\n0  - Return to main menu\nSelect"),
              std::string::npos);
    EXPECT_NE(out.find("NOT Supported on this Platform\n"), std::string::npos);
    EXPECT_NE(out.find("Use Main Boot Menu for this option\n"), std::string::npos);
    EXPECT_NE(out.find("30 - BOOT Secrets"), std::string::npos) << "option 13 shows the hidden entries";
    EXPECT_EQ(out.find("ERROR"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - std::string(kMenuEnd).size()), kMenuEnd)
        << "0 returns without printing anything more";
}

TEST_F(UtilMenu, DeleteAFile)
{
    create("victim", 10);
    std::string out = menu("17\rvictim\r17\rvictim\r17\r\r0\r");
    EXPECT_FALSE(hostFileExists("victim"));
    EXPECT_EQ(count(out, "Input filename - "), 3u);
    EXPECT_EQ(count(out, "Are you sure that file exists? Try again...\n"), 2u) << "gone, and the empty name";
}

TEST_F(UtilMenu, ListingLayoutAndTotals)
{
    setClock(2008, 4, 28, 14, 5, 9);
    create("image1", 1234);
    create(std::string(34, 'n'), 7);
    vx::mkdir("sub");
    create("sub/inner", 5000);
    setClock(2009, 12, 1, 3, 4, 5);
    create("later", 0);
    std::string out = listing();
    EXPECT_NE(out.find("image1" + std::string(28, ' ') + "1234       4/28/2008 14:05:09\n"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string(34, 'n') + "7          4/28/2008 14:05:09\n"), std::string::npos);
    EXPECT_NE(out.find("\nsub\n"), std::string::npos);
    EXPECT_NE(out.find("later" + std::string(29, ' ') + "0          12/1/2009 3:04:05\n"), std::string::npos);
    // Only the regular files of this directory count as used.
    vx::StatFs fs{};
    int fd = vx::open("image1", vx::RDONLY, 0);
    ASSERT_EQ(vx::fstatfs(fd, &fs), 0);
    vx::close(fd);
    int32_t volume = fs.f_bsize * fs.f_blocks;
    EXPECT_NE(out.find("\nFilesystem size " + std::to_string(volume) + "\nBytes used      1241\nBytes free      " +
                       std::to_string(volume - 1241) + "\n"),
              std::string::npos)
        << out;
    EXPECT_FALSE(hostFileExists("dummy1"));
}

TEST_F(UtilMenu, LongNamesAndAFullListingStayInTheirBuffers)
{
    std::string longName(200, 'L');
    create(longName, 3);
    std::string out = listing();
    std::string cut = std::string(126, 'L') + "\n";
    EXPECT_NE(out.find(cut + "\nFilesystem size"), std::string::npos) << "cut at 127 bytes, ended with a new-line";
    EXPECT_NE(out.find("Bytes used      3\n"), std::string::npos);
    vx::remove(longName.c_str());

    // 80 lines of 100 bytes and more do not fit the 4096-byte text area.
    for (int i = 0; i < 80; ++i) {
        char name[100];
        std::snprintf(name, sizeof name, "file-%02d-%s", i, std::string(60, 'x').c_str());
        create(name, 10);
    }
    out = listing();
    EXPECT_NE(out.find("(listing cut: more entries than fit in the listing)\n"), std::string::npos);
    size_t shown = count(out, std::string(60, 'x') + "10         ");
    EXPECT_GT(shown, 30u);
    EXPECT_LT(shown, 50u);
    EXPECT_NE(out.find("Bytes used      800\n"), std::string::npos) << "every file counts";
}

TEST_F(UtilMenu, UnopenableDirectory)
{
    ASSERT_EQ(vx::mkdir("gone"), 0);
    ASSERT_EQ(vx::chdir("gone"), 0);
    ASSERT_EQ(vx::chdir(".."), 0);
    // The current directory removed under the listing.
    ASSERT_EQ(vx::chdir("gone"), 0);
    std::filesystem::remove(hostPath("gone"));
    EXPECT_EQ(listing(), "Could not open directory!\n\n");
}

} // namespace
