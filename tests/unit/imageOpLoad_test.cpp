// imageOpLoad_test.cpp - what option 4 does with a received file: refusals, a failed install,
// power cuts, and a seeded search over mutated headers and STK tables. (The upload report's
// lines and their place are checked in the system load tests.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "host/os/hostos.h"
#include "image/dim.h"
#include "image/image.h"
#include "image/imageActivate.h"
#include "image/imageLoad.h"
#include "osapi.h"
#include "osapi_file.h"
#include "support/imageBuilder.h"
#include "support/search.h"
#include "support/textCheck.h"
#include "support/testBoard.h"

using namespace testimg;

namespace {

const std::string kDim1 = "---IMAGE---\nactive\nactive\nimage1\n0\ndefault image\n"
                          "---IMAGE---\nbackup\nbackup\nimage2\n0\n\n";

class ImageOpLoad : public TestBoard {
protected:
    void directory(const std::string& text)
    {
        dimReset();
        writeHostFile("boot.dim", text);
        ASSERT_EQ(dimInitialize(), 0);
        dimText = readHostFile("boot.dim");
    }

    // Stores file as if just received; out gets the console text.
    int store(const std::string& file)
    {
        writeHostFile("xcode.bin", file);
        takeOutput();
        int rc = imageOpCodeStore("xcode.bin", kBoard);
        out = takeText();
        return rc;
    }

    std::string out;
    std::string dimText;
};

// Each refusal says why (the search below holds every refusal to leaving
// the stored files as they were; a size refused: the system load test).
TEST_F(ImageOpLoad, RefusalsSayWhy)
{
    directory(kDim1);
    std::string wraps = stk({{kBoard, withBootCode("12345678")}});
    put32(wraps, 116 + 64 + 16, 0xFFFFFF8Cu); // a boot code 4 GiB on, not at the container's start
    seal(wraps, wraps.size());
    const std::pair<std::string, std::string> cases[] = {
        {plainImage(0x00508540), "Verified operational code CRC.\nERROR: Operational code target 508540 does not "
                                 "match this device.\n"},
        {plainImage().substr(0, 1519), "ERROR: Operational code CRC is not valid.\n"},
        {wraps, "ERROR: Boot code of 8 bytes at file position 4294968515 lies outside the 1644 bytes"},
        {stk({{0x00508540, plainImage(0x00508540)}}), " No matching OPR files inside the STK file \n"
                                                      "ERROR: Code image size of 0 bytes is invalid.\n"},
    };
    for (const auto& [file, message] : cases) {
        EXPECT_EQ(store(file), 1) << message;
        EXPECT_HAS(out, message);
        EXPECT_FALSE(hostFileExists("xcode.bin") || hostFileExists("bootcode.new")) << message;
    }
}

TEST_F(ImageOpLoad, FailuresAtTheInstall)
{
    // The image cannot take its name (the aside name is a directory): the old
    // image and its boot code stay.
    directory(kDim1);
    std::string old1 = plainImage(kBoard, "old one"), img = withBootCode("NEWBOOT");
    writeHostFile("image1", old1);
    writeHostFile("bootcode.bin", "older boot code");
    ASSERT_EQ(vx::mkdir("image1.new"), 0);
    EXPECT_EQ(store(img), 1);
    EXPECT_HAS(out, " Error renaming the file \nERROR: Operational code update failed.\n");
    EXPECT_EQ(readHostFile("image1") + readHostFile("bootcode.bin"), old1 + "older boot code");
    EXPECT_FALSE(hostFileExists("xcode.bin") || hostFileExists("bootcode.new"));
    EXPECT_EQ(readHostFile("boot.dim"), dimText);

    // The image is in place but its boot code cannot be ("bootcode.bin" is a
    // directory, or the disk is full): the load stands, the failure is said
    // on its own line, and no older boot code is left for option 7.
    ASSERT_EQ(vx::rename("image1.new", "elsewhere"), 0);
    for (bool full : {false, true}) {
        directory(kDim1);
        std::filesystem::remove_all(hostPath("bootcode.bin"));
        if (full) writeHostFile("bootcode.bin", "older boot code"), writeHostFile("xcode.bin", img), fillDisk();
        else ASSERT_EQ(vx::mkdir("bootcode.bin"), 0);
        EXPECT_EQ(store(img), 0) << out;
        EXPECT_EQ(out.find("\nERROR: Could not write the boot code into bootcode.bin: the flash disk is full.\n"
                           "Storing Operational code") != std::string::npos, full) << out;
        EXPECT_TRUE(out.ends_with("Operational code stored.\nERROR: Could not store the boot code in bootcode.bin; "
                                  "load the image again to update the boot code.\n")) << out;
        EXPECT_EQ(readHostFile("image1"), img);
        EXPECT_FALSE(hostFileExists("bootcode.new") || (full && hostFileExists("bootcode.bin")));
        std::remove(hostPath("filler").c_str());
    }
}

// A reset between the two steps of an image replace (the old image gone, the
// new one under its aside name): the start-up finishes it.
TEST_F(ImageOpLoad, StartUpCompletesAnInstallCutShort)
{
    directory(kDim1);
    writeHostFile("image1.new", plainImage(kBoard, "new one"));
    dimReset();
    ASSERT_EQ(dimInitialize(), 0);
    EXPECT_EQ(readHostFile("image1"), plainImage(kBoard, "new one"));
    EXPECT_FALSE(hostFileExists("image1.new"));
}

// A cut at every write of a load of an image the directory lacks (the
// directory is rewritten too): the next start finds a valid image, at the end
// the new one as the active image with the backup's file gone, and any boot
// code file is the new one. (The replace of a known image is one platform
// replace, which the start-up completes, above.)
TEST_F(ImageOpLoad, PowerCutAtAnyWriteOfALoadLeavesABootableBoard)
{
    const std::string old = plainImage(kBoard, "old"), img = withBootCode(std::string(3000, 'B'));
    bool finished = false;
    for (uint64_t n = 1; !finished && n < 50; n++) {
        writeHostFile("boot.dim", "---IMAGE---\nbackup\nbackup\nimage2\n0\n\n");
        writeHostFile("image2", old);
        std::remove(hostPath("image1").c_str());
        dimReset();
        ASSERT_EQ(dimInitialize(), 0);
        writeHostFile("xcode.bin", img);
        host::filesSetPowerCutAfterWrites(n);
        try {
            imageOpCodeStore("xcode.bin", kBoard);
            finished = true;
        } catch (const host::PowerCutRequested&) {
            osapiFileReset(); /* the cut came inside a locked file call */
        }
        host::filesSetPowerCutAfterWrites(0);
        dimReset();
        imageActivateReset();
        dimInitialize();
        EXPECT_TRUE(finished ? imageActiveCrcCheck() == 0 && readHostFile("image1") == img && !hostFileExists("image2")
                             : imageActiveCrcCheck() == 0 || imageBackupActivate() == 0) << "cut at write " << n;
        EXPECT_TRUE(!hostFileExists("bootcode.bin") || readHostFile("bootcode.bin") == std::string(3000, 'B'));
    }
    EXPECT_TRUE(finished);
}

// A big-endian u32 of a file, zero past its end.
uint32_t at32(const std::string& f, size_t i)
{
    uint32_t v = 0;
    for (size_t k = i; k < i + 4; k++)
        v = (v << 8) | (k < f.size() ? static_cast<uint8_t>(f[k]) : 0u);
    return v;
}

// A seeded search: headers and STK tables mutated where they matter (sizes, counts, offsets,
// targets, set to edges of the file and of 32 bits), mostly resealed so the checks past the
// checksum run. The load accepts exactly what the in-memory vetting accepts with its boot code
// inside the file; the start-up check of the same file agrees with the vetting; the boot code
// copied out is the component's bytes; a refusal changes nothing. Long run: TARN_FUZZ_SEED=N
// TARN_FUZZ_ROUNDS=5000 build/tests/imageOpLoad_test.
TEST_F(ImageOpLoad, MutatedHeadersAndStkTablesAgreeEverywhere)
{
    directory(kDim1);
    const std::string good = plainImage(kBoard, "good"), inner = withBootCode("B2");
    std::string one = withBootCode("SOLO");
    put32(one, 12, 1);
    const std::pair<std::string, uint32_t> seeds[] = { // a file, its image header's position
        {withBootCode("BOOT"), 0},
        {stk({{0x1, plainImage(0x1)}, {kBoard, inner}}), 88 + 2 * 28 + kHeader + 300},
        {stk({{kBoard, one}}), 88 + 28}};
    const uint32_t seed = uint32_t(search::env("TARN_FUZZ_SEED", 20261207u));
    const int rounds = int(search::env("TARN_FUZZ_ROUNDS", 300));
    std::mt19937 rnd(seed);
    for (int round = 0; round < rounds && !HasFailure(); round++) {
        const auto& [from, image] = seeds[round % 3];
        std::string f = from;
        const uint32_t n = static_cast<uint32_t>(f.size());
        // The STK table, then the header's target, size, count, and its two
        // components' sizes and offsets.
        std::vector<uint32_t> fields = {8, 12, 20, 88, 92, 116, 120};
        fields.resize(image != 0 ? fields.size() : 0);
        for (uint32_t off : {4u, 8u, 12u, 28u, 32u, 76u, 80u}) fields.push_back(image + off);
        const uint32_t values[] = {0, 1, 2, 4, 88, 299, 300, 1219, 1220, n - 1, n, n + 1, 0x7FFFFFFFu, 0x80000000u,
                                   0xFFFFFFF0u, 0xFFFFFFFFu, kBoard, static_cast<uint32_t>(rnd() % 4096),
                                   static_cast<uint32_t>(rnd())};
        for (int e = 1 + rnd() % 3; e > 0; e--) {
            switch (rnd() % 4) {
            case 0: f[rnd() % f.size()] ^= static_cast<char>(1 + rnd() % 255); break;
            case 1: f.resize(16 + rnd() % (f.size() + 48), 'z'); break;
            default: put32(f, fields[rnd() % fields.size()], values[rnd() % std::size(values)]); break;
            }
        }
        if (rnd() % 4 != 0) seal(f, checksumLength(reinterpret_cast<const uint8_t*>(f.data())));
        const std::string where = "seed " + std::to_string(seed) + " round " + std::to_string(round);

        const auto* bytes = reinterpret_cast<const uint8_t*>(f.data());
        ImageVet vet;
        imageVetBuffer(bytes, static_cast<uint32_t>(f.size()), kBoard, &vet);
        // Slot 1 as the file holds it: its offset counts from the end of its
        // image's header, wherever that image stands.
        const uint32_t bootSize = at32(f, vet.base + 64 + 12);
        const uint64_t bootStart = uint64_t(vet.base) + kHeader + at32(f, vet.base + 64 + 16);
        bool bootInside = bootSize == 0 || bootStart + bootSize <= vet.length;
        writeHostFile("image1", f); // the start-up check (the file reader's) on the same bytes
        EXPECT_EQ(imageActiveCrcCheck() == 0, vet.result == IMAGE_VET_OK) << where;

        writeHostFile("image1", good);
        writeHostFile("bootcode.bin", "before");
        int rc = store(f);
        EXPECT_EQ(rc == 0, vet.result == IMAGE_VET_OK && bootInside) << where << "\n" << out;
        EXPECT_EQ(readHostFile("image1"), rc == 0 ? f : good) << where;
        bool copied = rc == 0 && bootSize != 0;
        EXPECT_EQ(readHostFile("bootcode.bin"), copied ? f.substr(bootStart, bootSize) : "before") << where;
        EXPECT_FALSE(hostFileExists("xcode.bin") || hostFileExists("bootcode.new")) << where;
        EXPECT_EQ(readHostFile("boot.dim"), dimText) << where;
    }
}

} // namespace
