// The directory listing of the utilities menu.
#include "bsp/cpu/tarn8541/vxworks/start/bootUtil.h"
#include "osapi.h"
#include "support/testBoard.h"
#include "support/textCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

class Listing : public TestBoard {
protected:
    std::string listing()
    {
        takeOutput();
        bootDirListing();
        return takeText();
    }
    // A file created through the volume, at the calendar time.
    void create(const std::string& name, size_t size)
    {
        int fd = vx::open(name.c_str(), vx::CREAT | vx::RDWR | vx::TRUNC, 0644);
        ASSERT_GE(fd, 0) << name;
        std::string data(size, 'd');
        ASSERT_EQ(vx::write(fd, data.data(), data.size()), int32_t(size));
        vx::close(fd);
    }
};

// The menu loop, its messages, the listing's layout and totals and the file
// deletion are typed at in the system utilities tests.
TEST_F(Listing, LongNamesFullListingAndAVanishedDirectory)
{
    vx::clockSettime(1259636645, 0); // 1 Dec 2009 03:04:05
    std::string longName(200, 'L');
    create(longName, 3);
    create(std::string(34, 'n'), 7);
    std::string out = listing();
    EXPECT_HAS(out, std::string(34, 'n') + "7          12/1/2009 3:04:05\n") << "a name that fills its column";
    EXPECT_HAS(out, std::string(126, 'L') + "\n");
    EXPECT_HAS(out, "Bytes used      10\n");
    vx::remove(longName.c_str());
    vx::remove(std::string(34, 'n').c_str());

    // 80 lines of 100 bytes and more do not fit the 4096-byte text area.
    for (int i = 0; i < 80; ++i) {
        char name[100];
        std::snprintf(name, sizeof name, "file-%02d-%s", i, std::string(60, 'x').c_str());
        create(name, 10);
    }
    out = listing();
    EXPECT_HAS(out, "(listing cut: more entries than fit in the listing)\n");
    size_t shown = textcheck::count(out, std::string(60, 'x') + "10         ");
    EXPECT_GT(shown, 30u);
    EXPECT_LT(shown, 50u);
    EXPECT_HAS(out, "Bytes used      800\n");

    // The current directory removed under the listing.
    ASSERT_EQ(vx::mkdir("gone"), 0);
    ASSERT_EQ(vx::chdir("gone"), 0);
    std::filesystem::remove(hostPath("gone"));
    EXPECT_EQ(listing(), "Could not open directory!\n\n");
}

} // namespace
