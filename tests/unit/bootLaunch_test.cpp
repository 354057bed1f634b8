// bootLaunch_test.cpp - the code launch: inflate to the load address with the
// progress bar, the diagnostics copy, the hand-over sequence, and images that
// must fail like a decompression error instead of being entered.
#include "osapi.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "bsp/cpu/tarn8541/vxworks/start/bootLaunch.h"
#include "host/board/board.h"
#include "host/os/hostos.h"
#include "host/os/sha256.h"
#include "image/dim.h"
#include "image/imageActivate.h"
#include "support/imageBuilder.h"
#include "support/textCheck.h"
#include "support/testBoard.h"

using namespace testimg;

namespace {

constexpr uint32_t kLoad = 0x00100000;
const std::string kRuler = "                       50%                     100%\n";

std::string deflate(const std::string& data)
{
    uLongf len = compressBound(data.size());
    std::string out(len, '\0');
    compress(reinterpret_cast<Bytef*>(out.data()), &len, reinterpret_cast<const Bytef*>(data.data()), data.size());
    out.resize(len);
    return out;
}

// A sealed plain image whose component 0 is the given stream, loaded at load.
std::string zimage(const std::string& stream, uint32_t load = kLoad, uint32_t statedSize = 0)
{
    std::string s = plainImage(kBoard, stream, false);
    put32(s, 16 + 12, statedSize ? statedSize : static_cast<uint32_t>(stream.size()));
    put32(s, 16 + 20, load);
    seal(s, s.size());
    return s;
}

std::string sha(const std::string& s)
{
    return host::sha256Hex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

class Launch : public TestBoard {
protected:
    void SetUp() override
    {
        TestBoard::SetUp();
        dimReset();
        imageActivateReset();
    }

    std::string output()
    {
        vx::fflushStdout();
        return takeText();
    }

    // Runs bootStartOpCode on image1: the hand-over line, or "" after a reset.
    std::string startOpCode(const std::string& image)
    {
        writeHostFile("image1", image);
        try {
            bootStartOpCode(1);
        } catch (const host::HandoverRequested& h) {
            return h.line;
        } catch (const host::BoardResetRequested&) {
            return "";
        }
        ADD_FAILURE() << "the launch came back";
        return "";
    }

    std::string dram(uint32_t addr, uint32_t len)
    {
        return std::string(reinterpret_cast<const char*>(vx::boardAddrToPtr(addr, len)), len);
    }

    int uncompress(const std::string& image)
    {
        writeHostFile("image1", image);
        return bootUncompressImage("image1", 0);
    }
};

size_t marks(const std::string& out)
{
    size_t at = out.find(kRuler);
    if (at == std::string::npos)
        return std::string::npos;
    size_t from = at + kRuler.size();
    size_t end = out.find('\n', from);
    std::string bar = out.substr(from, end - from);
    EXPECT_EQ(bar.find_first_not_of('|'), std::string::npos) << bar;
    return bar.size();
}

} // namespace

TEST_F(Launch, OperationalCodeIsInflatedAndEntered)
{
    std::string code = textcheck::noise(300000);
    writeHostFile("xcode.bin", "left over");
    writeHostFile("bootcode.bin", "left over");
    std::string line = startOpCode(zimage(deflate(code)));

    EXPECT_HAS(line, "kind=opcode entry=0x00100000 arg=1 load=0x00100000 bytes=300000 sha256=" + sha(code));
    EXPECT_EQ(dram(kLoad, code.size()), code);
    // Interrupts off, instruction cache invalidated, HID0 cleared, in that order.
    EXPECT_HAS(line, "writes=MSR=0x00001000,L1CSR1=0x00000001,L1CSR1=0x00000003,HID0=0x00000000");
    EXPECT_EQ(host::board().core().msr & (vx::MSR_CE | vx::MSR_EE), 0u);
    EXPECT_FALSE(hostFileExists("xcode.bin"));
    EXPECT_FALSE(hostFileExists("bootcode.bin"));

    std::string out = output();
    EXPECT_EQ(out.find("\n\nOperational Code Date: 2008-04-28\nUncompressing.....\n\n" + kRuler), 0u) << out;
    EXPECT_EQ(marks(out), 51u) << "one mark for every even percentage";
}

TEST_F(Launch, ProgressMarks)
{
    // One inflate call takes the whole small stream: 100 % is the only mark.
    ASSERT_EQ(uncompress(zimage(deflate("tiny"))), 0);
    EXPECT_EQ(marks(output()), 1u);
    // A stated size far below the stream: the bar still stops at 51 marks.
    std::string stream = deflate(textcheck::noise(100000));
    ASSERT_EQ(uncompress(zimage(stream, kLoad, 1024)), 0);
    EXPECT_EQ(marks(output()), 1u) << "the first step reaches 100 %";
    ASSERT_EQ(uncompress(zimage(stream, kLoad, 20000)), 0);
    EXPECT_LE(marks(output()), 51u);
}

TEST_F(Launch, StatedSizeAndTheStreamsEnd)
{
    std::string code = textcheck::noise(50000, 11);
    std::string stream = deflate(code);
    // Size under-counts the stream: the bytes that follow are offered until it ends.
    ASSERT_EQ(uncompress(zimage(stream, kLoad, 100)), 0);
    EXPECT_EQ(bootLaunchLoadedLen(), code.size());
    EXPECT_EQ(dram(kLoad, code.size()), code);
    // Size over-counts it: the stream ends first, which is a success.
    ASSERT_EQ(uncompress(zimage(stream + std::string(5000, 'x'), kLoad, stream.size() + 5000)), 0);
    EXPECT_EQ(bootLaunchLoadedLen(), code.size());
    // A stream that does not end within the file is never entered.
    std::string cut = zimage(stream.substr(0, stream.size() - 10));
    EXPECT_EQ(uncompress(cut), 1);
    EXPECT_EQ(uncompress(zimage(stream.substr(0, stream.size() / 2), kLoad, stream.size())), 1);
}

TEST_F(Launch, ImagesThatFailLikeADecompressionError)
{
    std::string stream = deflate(textcheck::noise(20000, 5));
    size_t poolFree = vx::memFindMax();

    std::string corrupt = stream;
    corrupt[2] ^= 0xFF; // inside the deflate data; the image checksum is made afterwards
    EXPECT_EQ(uncompress(zimage(corrupt)), 1);
    EXPECT_EQ(uncompress(zimage(stream, kLoad, 0xFFFFFFFF)), 0) << "size only scales the bar";

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
    EXPECT_EQ(uncompress(zimage(stream, CODE_LOAD_AREA_END - 4096)), 1) << "runs into the pool";
    EXPECT_EQ(uncompress(zimage(stream, CODE_LOAD_AREA_END - 20000)), 0) << "ends exactly at the area's end";

    EXPECT_EQ(bootUncompressImage("no such image", 0), 1);
    EXPECT_EQ(bootUncompressImage("image1", 16), 1);
    // Failures release the image buffer and zlib's state; the successful
    // launches above keep theirs for the code they entered.
    EXPECT_GE(vx::memFindMax() + 2 * (LAUNCH_BUFFER_SIZE + 64), poolFree);
}

TEST_F(Launch, DecompressionErrorResetsTheBoard)
{
    std::string stream = deflate(textcheck::noise(4000));
    stream[3] ^= 0x55;
    writeHostFile("xcode.bin", "x");
    uint32_t before = vx::tickGet();
    EXPECT_EQ(startOpCode(zimage(stream)), "") << "reset, no hand-over";
    EXPECT_GE(vx::tickGet() - before, 200u) << "two seconds before the reset";
    std::string out = output();
    EXPECT_HAS(out, "\n\nThere was an error during decompression... resetting the switch\n");
    EXPECT_FALSE(hostFileExists("xcode.bin"));

    // A header that cannot be read is not launched either.
    std::remove(hostPath("image1").c_str());
    EXPECT_THROW(bootStartOpCode(1), host::BoardResetRequested);
    out = output();
    EXPECT_HAS(out, "Error opening the image file image1");
    EXPECT_LACKS(out, "Operational Code Date");
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
    EXPECT_EQ(output(), "\nReading diag_image.stk into memory\n");

    std::remove(hostPath("diag_image.stk").c_str());
    writeHostFile("xcode.bin", "x");
    bootStartDiag();
    EXPECT_EQ(output(), "\nError reading diag_image.stk into memory\n");
    EXPECT_FALSE(hostFileExists("xcode.bin"));
}
