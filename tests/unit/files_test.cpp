// files_test.cpp - the flash disk volume's file services: nothing outside the
// volume is reachable, and directories list in creation order.
#include "host/os/files/files.h"
#include "osapi.h"
#include "support/testBoard.h"

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

class FilesTest : public TestBoard {
protected:
    static int put(const std::string& name, const std::string& data)
    {
        int fd = vx::open(name.c_str(), vx::RDWR | vx::CREAT | vx::TRUNC, 0644);
        if (fd < 0) return vx::errnoGet();
        int rc = data.empty() || vx::write(fd, data.data(), data.size()) == int32_t(data.size()) ? 0 : vx::errnoGet();
        vx::close(fd);
        return rc;
    }
    static Names names(const char* path = ".")
    {
        Names out;
        vx::DirStream* d = vx::opendir(path);
        if (!d) return {"<error>"};
        while (vx::Dirent* e = vx::readdir(d)) out.push_back(e->d_name);
        vx::closedir(d);
        return out;
    }
    // Fails with the error number, or 0.
    template <typename F> static int err(F&& call)
    {
        vx::errnoSet(0);
        return call() == -1 ? vx::errnoGet() : 0;
    }
    std::string host(const std::string& rel) const { return boardDir + "/DskVol/" + rel; }
};

TEST_F(FilesTest, NothingIsReachableBeforeMountOrOutsideTheVolume)
{
    host::VolumeConfig cfg;
    cfg.root = host("");
    host::filesInit(cfg); // not mounted
    char cwd[64];
    EXPECT_STREQ(vx::getcwd(cwd, sizeof cwd), "/");
    EXPECT_EQ(err([] { return vx::open("/DskVol/a", vx::RDWR | vx::CREAT, 0); }), vx::E_NOENT);
    ASSERT_EQ(vx::dosFsMount("/DskVol"), 0);
    EXPECT_EQ(err([] { return vx::open("a", vx::RDWR | vx::CREAT, 0); }), vx::E_NOENT); // "/" is no volume
    EXPECT_EQ(err([] { return vx::dosFsMount("/other/"); }), vx::E_NOENT);
    EXPECT_EQ(put("/DskVol/a", "x"), 0);
    EXPECT_TRUE(fs::exists(host("a")));
    ASSERT_EQ(vx::chdir("/DskVol"), 0);

    // Paths that would leave the volume's directory.
    fs::create_directory(boardDir + "/outside");
    std::ofstream(boardDir + "/outside/secret") << "keep";
    for (const char* p : {"../outside/secret", "/DskVol/../outside/secret", "/DskVolx/a", "/etc/passwd",
                          "/DskVol/a/../../outside/secret"})
        EXPECT_NE(err([p] { return vx::open(p, vx::RDWR | vx::CREAT | vx::TRUNC, 0); }), 0) << p;
    EXPECT_NE(err([] { return vx::chdir(".."); }), 0);
    EXPECT_FALSE(fs::exists(boardDir + "/a"));

    // Host links are not entries: not listed, not followed, their names not taken.
    fs::create_symlink(boardDir + "/outside/secret", host("link"));
    fs::create_directory_symlink(boardDir + "/outside", host("dirlink"));
    EXPECT_EQ(err([] { return vx::open("link", vx::RDONLY, 0); }), vx::E_NOENT);
    EXPECT_EQ(err([] { return vx::open("link", 0x602, 0); }), vx::E_ACCES);
    EXPECT_EQ(err([] { return vx::chdir("dirlink"); }), vx::E_NOENT);
    EXPECT_EQ(err([] { return vx::open("dirlink/secret", 0x602, 0); }), vx::E_NOENT);
    EXPECT_EQ(err([] { return vx::rename("a", "link"); }), vx::E_EXIST);
    EXPECT_EQ(names("/DskVol/"), (Names{"files", "a"}));
    std::string kept;
    std::getline(std::ifstream(boardDir + "/outside/secret"), kept);
    EXPECT_EQ(kept, "keep");

    // ".." inside the volume is fine; the directory index is never reachable.
    vx::Stat st;
    EXPECT_TRUE(vx::stat("files/../a", &st) == 0 && st.size == 1);
    EXPECT_EQ(err([] { return vx::open(".dosdir", vx::RDONLY, 0); }), vx::E_INVAL);
    EXPECT_EQ(err([] { return vx::remove("/DskVol/.DOSDIR"); }), vx::E_INVAL);
}

TEST_F(FilesTest, DirectoriesListInCreationOrderWithSlotsReused)
{
    for (const char* n : {"c", "a", "b"}) ASSERT_EQ(put(n, n), 0);
    ASSERT_EQ(vx::remove("a"), 0);
    ASSERT_EQ(put("z", ""), 0); // takes the freed slot
    ASSERT_EQ(put("d", ""), 0);
    EXPECT_EQ(names(), (Names{".", "..", "c", "z", "b", "d"}));
    ASSERT_EQ(vx::mkdir("sub"), 0);
    ASSERT_EQ(put("sub/one", ""), 0);
    EXPECT_EQ(names("sub"), (Names{".", "..", "one"}));

    // A listing is a snapshot: removing while reading (the factory clean-up) sees every entry.
    vx::DirStream* d = vx::opendir(".");
    ASSERT_NE(d, nullptr);
    int seen = 0;
    while (vx::Dirent* e = vx::readdir(d)) {
        vx::Stat st;
        ASSERT_EQ(vx::stat(e->d_name, &st), 0) << e->d_name;
        if ((st.mode & vx::MODE_IFMT) == vx::MODE_IFREG) vx::remove(e->d_name);
        ++seen;
    }
    EXPECT_EQ(seen, 7);
    EXPECT_EQ(vx::closedir(d), 0);
    EXPECT_EQ(names(), (Names{".", "..", "sub"}));
    EXPECT_EQ(err([d] { return vx::closedir(d); }), vx::E_BADF);
    EXPECT_EQ(vx::readdir(nullptr), nullptr);

    // An index the host damaged falls back to name order; nothing is lost.
    writeHostFile(".dosdir", "garbage\nsub\n");
    writeHostFile("k", "");
    EXPECT_EQ(names(), (Names{".", "..", "k", "sub"}));
    ASSERT_EQ(put("j", ""), 0);
    EXPECT_EQ(names(), (Names{".", "..", "k", "sub", "j"}));
}

} // namespace
