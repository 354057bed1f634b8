// testBoard.cpp - the unit-test board fixture.
#include "testBoard.h"

#include "bsp/cpu/tarn8541/vxworks/mpc85xx/flashDev.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/tffs.h"
#include "host/os/root.h"
#include "image/dim.h"
#include "image/imageActivate.h"
#include "log/eventLog.h"
#include "log/log.h"
#include "osapi.h"
#include "osapi_file.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace {
constexpr int kIdleLimit = 1000; // waits without new input before the test is ended

// Module state as after power-on, in "/DskVol/files".
void resetModules()
{
    dimReset();
    imageActivateReset();
    eventLogReset();
    logReset();
    osapiFileReset();
    flashDevReset();
    vx::chdir("/DskVol/");
    vx::mkdir("files");
    vx::chdir("files");
}
} // namespace

void TestBoard::SetUp()
{
    char templ[] = "/tmp/tarnboot-test-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    boardDir = templ;
    peer_.onIdle = [this](host::ScriptedPeer&) -> bool {
        if (++idleWithoutInput_ > kIdleLimit) throw PeerExhausted{};
        return false;
    };
    peer_.onOutput = [this](host::ScriptedPeer&, const std::string&) { idleWithoutInput_ = 0; };
    host::platformStartForTest(boardDir, &peer_);
    resetModules();
}

void TestBoard::powerOn()
{
    host::platformStopForTest();
    host::platformStartForTest(boardDir, &peer_);
    resetModules();
}

void TestBoard::TearDown()
{
    peer_.onOutput = nullptr, peer_.onIdle = nullptr; // scripted far ends are often the test's locals
    host::platformStopForTest();
    std::error_code ec;
    std::filesystem::remove_all(boardDir, ec);
}

void TestBoard::formatFlashDisk()
{
    flashDevProbe();
    ASSERT_EQ(tffsPPCInit(), 0);
    ASSERT_EQ(vx::chdir("/DskVol/"), 0);
    vx::mkdir("files");
    ASSERT_EQ(vx::chdir("files"), 0);
    takeOutput();
}

std::string TestBoard::hostPath(const std::string& name) const { return boardDir + "/DskVol/files/" + name; }

void TestBoard::writeHostFile(const std::string& name, const std::string& bytes) const
{
    std::ofstream(hostPath(name), std::ios::binary | std::ios::trunc) << bytes;
}

std::string TestBoard::readHostFile(const std::string& name) const
{
    std::ifstream in(hostPath(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool TestBoard::hostFileExists(const std::string& name) const { return std::filesystem::exists(hostPath(name)); }

void TestBoard::fillDisk(uint64_t leaveClusters)
{
    vx::StatFs fs{};
    int fd = vx::open("filler", vx::RDWR | vx::CREAT | vx::TRUNC, 0644);
    ASSERT_EQ(vx::fstatfs(fd, &fs), 0);
    vx::close(fd);
    std::filesystem::resize_file(hostPath("filler"), uint64_t(fs.f_bfree - leaveClusters) * uint64_t(fs.f_bsize));
}

TestBoard::Files TestBoard::boardFiles() const
{
    // Sizes and times from stat itself: the C++ runtime of a 32-bit target keeps a 32-bit
    // time_t and fails on the times past 2038 the board's clock gives its files.
    Files m;
    for (auto& e : std::filesystem::recursive_directory_iterator(boardDir)) {
        struct stat st {};
        if (::stat(e.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        std::ifstream in(e.path(), std::ios::binary);
        m[e.path().lexically_relative(boardDir).string()] =
            st.st_size < (1 << 20) ? std::string(std::istreambuf_iterator<char>(in), {})
                                   : std::to_string(st.st_size) + "@" + std::to_string(st.st_mtim.tv_sec) + "." +
                                         std::to_string(st.st_mtim.tv_nsec);
    }
    return m;
}

std::string TestBoard::filesChanged(const Files& before, const Files& after,
                                    const std::function<bool(const std::string& name)>& mayChange)
{
    Files all = before;
    all.insert(after.begin(), after.end());
    std::string out;
    for (auto& [rel, content] : all) {
        auto a = before.find(rel), b = after.find(rel);
        const std::string name = std::filesystem::path(rel).filename().string();
        const bool own = name == ".dosdir" || name == "log2.bin" || name == "rtc.bin" || name == "persist.txt" ||
                         (name.size() == 9 && name.compare(5, 4, ".txt") == 0 && (name[0] == 's' || name[0] == 'o'));
        if (own || mayChange(name) || (a != before.end() && b != after.end() && a->second == b->second)) continue;
        out += rel + (a == before.end() ? " appeared\n" : b == after.end() ? " vanished\n" : " changed\n");
    }
    return out;
}

std::string TestBoard::takeOutput()
{
    vx::fflushStdout();
    std::string out = peer_.output();
    peer_.clearOutput();
    return out;
}

std::string TestBoard::takeText()
{
    std::string s = takeOutput(), out;
    for (size_t i = 0; i < s.size(); ++i)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) out += s[i];
    return out;
}

bool TestBoard::saw(const std::string& text)
{
    vx::fflushStdout();
    std::string line;
    for (char c : text) line += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return peer_.output().find(line) != std::string::npos;
}
