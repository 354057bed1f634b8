// osapi_file_test.cpp - the file access layer's results and whole reads.
#include <gtest/gtest.h>

#include <string>

#include "osapi.h"
#include "osapi_file.h"
#include "support/testBoard.h"

namespace {

class OsapiFileTest : public TestBoard {};

} // namespace

TEST_F(OsapiFileTest, OpenReadAndSize)
{
    EXPECT_EQ(osapiFileOpen("missing.txt"), OSAPI_FILE_ERROR);
    EXPECT_FALSE(hostFileExists("missing.txt"));
    uint32_t size = 99;
    EXPECT_EQ(osapiFileSizeGet("missing.txt", &size), OSAPI_FILE_ERROR);
    EXPECT_EQ(size, 0u);

    writeHostFile("ten.txt", "0123456789");
    int fd = osapiFileOpen("ten.txt");
    ASSERT_GE(fd, 3);
    char buf[592] = {};
    uint32_t count = sizeof buf;
    EXPECT_EQ(osapiFileReadWithLen(fd, buf, &count), OSAPI_FILE_OK);
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    EXPECT_EQ(osapiFileRead(fd, buf, sizeof buf), OSAPI_FILE_OK); // at the end: not an error
    EXPECT_EQ(osapiFileClose(fd), OSAPI_FILE_OK);
    EXPECT_EQ(osapiFileSizeGet("ten.txt", &size), OSAPI_FILE_OK);
    EXPECT_EQ(size, 10u);

    writeHostFile("empty.txt", "");
    fd = osapiFileOpen("empty.txt");
    ASSERT_GE(fd, 3);
    EXPECT_EQ(osapiFileRead(fd, buf, sizeof buf), OSAPI_FILE_OK);
    EXPECT_EQ(osapiFileClose(fd), OSAPI_FILE_OK);
}

TEST_F(OsapiFileTest, CreateWriteDelete)
{
    writeHostFile("out.txt", "old contents, longer");
    int fd = -5;
    ASSERT_EQ(osapiFileCreate("out.txt", &fd), OSAPI_FILE_OK);
    ASSERT_GE(fd, 3);
    EXPECT_EQ(osapiFileWrite(fd, "new", 3), OSAPI_FILE_OK);
    EXPECT_EQ(osapiFileClose(fd), OSAPI_FILE_OK);
    EXPECT_EQ(readHostFile("out.txt"), "new");
    EXPECT_EQ(osapiFileWrite(fd, "x", 1), OSAPI_FILE_ERROR); // closed
    EXPECT_EQ(osapiFileDelete("out.txt"), OSAPI_FILE_OK);
    EXPECT_FALSE(hostFileExists("out.txt"));
    EXPECT_EQ(osapiFileDelete("out.txt"), OSAPI_FILE_ERROR);
}
