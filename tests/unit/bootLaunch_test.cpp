// bootLaunch_test.cpp - the code launch: inflate under the progress bar, the
// diagnostics copy, and images that must fail instead of being entered. (A
// stream that fails resets the board: the system launch test.)
#include "osapi.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>

#include "bsp/cpu/tarn8541/vxworks/start/bootLaunch.h"
#include "host/os/hostos.h"
#include "support/imageBuilder.h"
#include "support/textCheck.h"
#include "support/testBoard.h"

using namespace testimg;

namespace {

constexpr uint32_t kLoad = 0x00100000;
const std::string kRuler = "                       50%                     100%\n";

using textcheck::deflate;

// A sealed plain image whose component 0 is the given stream, loaded at load.
std::string zimage(const std::string& stream, uint32_t load = kLoad)
{
    std::string s = plainImage(kBoard, stream, false);
    put32(s, 16 + 20, load);
    seal(s, s.size());
    return s;
}

// The launch's loop in its defining fixed steps (1024 bytes in, 3072 out):
// the console text, the result and the code it produced.
struct FixedSteps { std::string text, code; int rc; };

FixedSteps fixedSteps(const std::string& in, uint32_t size, uint32_t room)
{
    FixedSteps f{kRuler, std::string(room, '\0'), 1};
    z_stream zs{};
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs.next_out = reinterpret_cast<Bytef*>(f.code.data());
    inflateInit(&zs);
    int rc = Z_OK;
    for (uint64_t last = 1; rc == Z_OK && zs.total_in < in.size();) {
        zs.avail_in = std::min<uLong>(1024, in.size() - zs.total_in);
        zs.avail_out = std::min<uLong>(3072, room - zs.total_out);
        rc = inflate(&zs, Z_NO_FLUSH);
        uint64_t percent = std::min<uint64_t>(100, zs.total_in * 100 / size);
        if (percent % 2 == 0 && percent != last) f.text += '|', last = percent;
    }
    if (rc == Z_OK || rc == Z_STREAM_END) f.text += '\n';
    f.rc = rc == Z_STREAM_END ? 0 : 1;
    f.code.resize(zs.total_out);
    inflateEnd(&zs);
    return f;
}

class Launch : public TestBoard {
protected:
    int uncompress(const std::string& image)
    {
        writeHostFile("image1", image);
        return bootUncompressImage("image1", 0);
    }
};

} // namespace

// Whatever steps the loop takes, the bar, the result and the code are those
// of the fixed steps: streams of stored and deflated blocks, stated sizes
// below and above the stream, flipped bytes, cut and padded streams, and
// output room that runs out.
TEST_F(Launch, BarResultAndCodeAreThoseOfTheFixedSteps)
{
    uint8_t* out = static_cast<uint8_t*>(vx::boardAddrToPtr(kLoad, CODE_LOAD_AREA_END - kLoad));
    for (uint32_t seed = 1; seed <= 160; ++seed) {
        std::mt19937 rng(seed);
        auto pick = [&](uint32_t n) { return uint32_t(rng() % n); };
        std::string code;
        for (uint32_t parts = 1 + pick(6); parts > 0; --parts)
            code += pick(2) ? textcheck::noise(pick(120000), rng()) : std::string(pick(200000), char(rng()));
        std::string in = deflate(code, int(pick(10)));
        uint32_t size = uint32_t(in.size());
        switch (pick(5)) {
        case 0: in[pick(uint32_t(in.size()))] ^= char(1 + pick(255)); break;
        case 1: in.resize(pick(uint32_t(in.size()))); break;
        case 2: in += textcheck::noise(pick(5000), seed); break;
        }
        if (pick(3) == 0) size = pick(2) ? 1 + pick(size * 2 + 1) : 0xFFFFFFFFu - pick(1000);
        uint32_t room = pick(4) ? uint32_t(code.size()) + pick(100) : pick(uint32_t(code.size()) + 1) + 1;
        SCOPED_TRACE("seed " + std::to_string(seed) + ": code " + std::to_string(code.size()) + ", stream " +
                     std::to_string(in.size()) + ", size " + std::to_string(size) + ", room " + std::to_string(room));
        FixedSteps want = fixedSteps(in, size, room);
        std::memset(out + room, 0xA5, 256); // nothing is written past the room
        uint32_t produced = 0;
        int rc = bootInflate(reinterpret_cast<const uint8_t*>(in.data()), uint32_t(in.size()), size, out, room,
                             &produced);
        ASSERT_EQ(takeText(), want.text);
        ASSERT_EQ(rc, want.rc);
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(out + room), 256), std::string(256, '\xA5'));
        ASSERT_TRUE(rc != 0 || std::string(reinterpret_cast<const char*>(out), produced) == want.code);
    }
}

TEST_F(Launch, ImagesThatFailLikeADecompressionError)
{
    std::string stream = deflate(textcheck::noise(20000, 5));
    size_t poolFree = vx::memFindMax();
    std::string absent = zimage(stream);
    put32(absent, 16 + 12, 0);
    EXPECT_EQ(uncompress(absent), 1) << "component size 0";
    std::string farOffset = zimage(stream);
    put32(farOffset, 16 + 16, 0x00FFFFF0); // payload past what was read
    EXPECT_EQ(uncompress(farOffset), 1);
    put32(farOffset, 16 + 16, 0xFFFFFF00); // offset wrapping past 4 GiB
    EXPECT_EQ(uncompress(farOffset), 1);
    // Loaded code stays in DRAM and below the memory pool holding the image.
    EXPECT_EQ(uncompress(zimage(stream, 0xF0000000)), 1) << "outside DRAM";
    EXPECT_EQ(uncompress(zimage(stream, CODE_LOAD_AREA_END)), 1) << "the pool";
    // (Code up to the area's end and past it, after the start-up's allocations: the menu table.)
    EXPECT_EQ(bootUncompressImage("no such image", 0), 1);
    EXPECT_EQ(bootUncompressImage("image1", 16), 1);
    EXPECT_EQ(vx::memFindMax(), poolFree) << "failures release the image buffer and zlib's state";
}

// The launch's waits on the board clock: a second after inflating and one in
// the hand-over; two seconds between a decompression error and the reset.
TEST_F(Launch, WaitsBeforeTheJumpAndTheReset)
{
    std::string stream = deflate(textcheck::noise(5000, 9)), broken = stream;
    broken[20] ^= 0x55;
    for (const auto& [image, ms, entered] : {std::tuple{zimage(stream), 2000u, true}, {zimage(broken), 2000u, false}}) {
        writeHostFile("image1", image);
        const uint64_t t0 = host::clockNowNs();
        bool handover = false;
        try {
            bootStartOpCode(1);
        } catch (const host::HandoverRequested&) {
            handover = true;
        } catch (const host::BoardResetRequested&) {
        }
        EXPECT_EQ(handover, entered);
        EXPECT_EQ((host::clockNowNs() - t0) / 1000000, ms);
    }
    writeHostFile("diag_image.stk", "d");
    const uint64_t t0 = host::clockNowNs();
    EXPECT_THROW(bootStartDiag(), host::HandoverRequested);
    EXPECT_EQ((host::clockNowNs() - t0) / 1000000, 1000u);
}

// The copy of a whole diagnostics image and its hand-over run in the system tests.
TEST_F(Launch, DiagnosticsImageIsCutAtItsLimitAndAMissingOneReturns)
{
    writeHostFile("diag_image.stk", std::string(DIAG_MAX_SIZE, 'd') + "beyond");
    writeHostFile("bootcode.bin", "x");
    try {
        bootStartDiag();
        FAIL() << "came back";
    } catch (const host::HandoverRequested& h) {
        EXPECT_HAS(h.line, "kind=diag entry=0x01000000 arg=1 load=0x01000000 bytes=16777216 ");
    }
    EXPECT_FALSE(hostFileExists("bootcode.bin"));
    EXPECT_EQ(takeText(), "\nReading diag_image.stk into memory\n");

    std::remove(hostPath("diag_image.stk").c_str());
    writeHostFile("xcode.bin", "x");
    bootStartDiag();
    EXPECT_EQ(takeText(), "\nError reading diag_image.stk into memory\n");
    EXPECT_FALSE(hostFileExists("xcode.bin"));
}
