// dim_test.cpp - the image directory and its file "boot.dim".
#include <gtest/gtest.h>

#include <string>

#include "image/dim.h"
#include "osapi.h"
#include "support/testBoard.h"

namespace {

std::string record(const std::string& state, const std::string& next, const std::string& name,
                   const std::string& counter = "0", const std::string& descr = "")
{
    return "---IMAGE---\n" + state + "\n" + next + "\n" + name + "\n" + counter + "\n" + descr + "\n";
}

const std::string kDefault = record("active", "active", "image1", "0", "default image");

class DimTest : public TestBoard {
protected:
    std::string dimFile() { return readHostFile("boot.dim"); }
    std::string active() { return name(dimActiveImageGet); }
    std::string backup() { return name(dimBackupImageGet); }
    static std::string name(int (*get)(char*))
    {
        char name[DIM_NAME_LEN];
        return get(name) == 0 ? name : "<none>";
    }
};

} // namespace

// An empty, garbage or nameless file, or none, gives the default directory at
// start-up: the system start-up tests; the fuzz target holds the reader.
TEST_F(DimTest, LoadAppliesPlannedRolesAndKeepsTwoRecords)
{
    writeHostFile("boot.dim", "stray line\nactive\n" + record("active", "backup", "image1", "3", "first") +
                                  record("backup", "active", "image2", "12", "") + record("active", "active", "image1") +
                                  "trailing line without LF");
    EXPECT_EQ(dimInitialize(), 0);
    EXPECT_EQ(active(), "image2");
    EXPECT_EQ(backup(), "image1");
    EXPECT_EQ(dimFile(), record("backup", "backup", "image1", "3", "first") + record("active", "active", "image2", "12"));
    int counter = -1;
    EXPECT_EQ(dimActiveCounterGet(&counter), 0);
    EXPECT_EQ(counter, 12);
}

TEST_F(DimTest, ActivateSwapsRolesAtNextLoad)
{
    writeHostFile("boot.dim", kDefault + record("backup", "backup", "image2"));
    ASSERT_EQ(dimInitialize(), 0);
    EXPECT_EQ(dimActiveCounterSet(5), 0);
    EXPECT_EQ(dimImageActivate("image2"), 0);
    EXPECT_EQ(dimFile(), record("active", "backup", "image1", "0", "default image") +
                             record("backup", "active", "image2"));
    EXPECT_EQ(dimBackupStateGet(), 5);
    EXPECT_EQ(dimImageActivate("image2"), 7);
    EXPECT_EQ(dimImageActivate("image3"), 3);
    EXPECT_EQ(dimInitialize(), 0);
    EXPECT_EQ(active(), "image2");
    EXPECT_EQ(dimFile(), record("backup", "backup", "image1", "0", "default image") +
                             record("active", "active", "image2"));
    EXPECT_EQ(dimBackupStateGet(), 4);
}

TEST_F(DimTest, AddDeleteAndTheFileFollowingEachChange)
{
    EXPECT_EQ(dimBackupStateGet(), 1);
    EXPECT_EQ(dimImageAdd("image3"), -3);
    EXPECT_EQ(dimImageAdd("../boot.dim"), -3);
    EXPECT_FALSE(hostFileExists("boot.dim"));
    EXPECT_EQ(dimImageAdd("image1"), 0);
    EXPECT_EQ(dimFile(), kDefault);
    EXPECT_EQ(dimBackupStateGet(), 3);

    // Adding a present name changes nothing, not even the file.
    writeHostFile("boot.dim", "marker");
    EXPECT_EQ(dimImageAdd("image1"), 0);
    EXPECT_EQ(dimFile(), "marker");

    EXPECT_EQ(dimImageAdd("image2"), 0);
    EXPECT_EQ(dimFile(), kDefault + record("backup", "backup", "image2"));
    EXPECT_EQ(dimImageDelete("image1"), 8);
    EXPECT_EQ(dimImageDelete("nothere"), 3);
    EXPECT_EQ(dimImageDescrSet("image2", "two\nlines"), 0);
    EXPECT_EQ(dimFile(), kDefault + record("backup", "backup", "image2", "0", "two lines"));
    EXPECT_EQ(dimImageDelete("image2"), 0);
    EXPECT_EQ(dimFile(), kDefault);
    EXPECT_FALSE(hostFileExists("boot.new"));
}
