// VPD EEPROM: read, dump and programming, through the real drivers and the
// EEPROM model, with a scripted person at the console. (The factory image's
// dump and a silent EEPROM: the system I2C test.)
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/i2cLib.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/vpd.h"
#include "host/board/board.h"
#include "support/deviceBoards.h"
#include "support/textCheck.h"

#include <cstring>
#include <random>

namespace {

using Image = host::At24c02::Image;

class Vpd : public I2cBoard {
protected:
    Image eeprom() { return host::board().eeprom().contents(); }
    void load(const Image& img) { host::board().eeprom().setContents(img); }
};

// ---- programming: a seeded search over images and answers ------------------------------

// What the EEPROM must hold after the dialog, worked out from the record
// layout alone: empty when the image holds no valid VPD or the new records
// do not fit (nothing may be written then).
struct Expected {
    bool valid = false, fits = false;
    Image image{};
};

Expected expectedImage(const Image& cur, const std::string* serial, const uint8_t* mac)
{
    Expected e;
    int m = -1;
    for (int i = 0; i + 2 < 256 && m < 0; ++i)
        if (cur[i] == 0xFF && cur[i + 1] == 0x01 && cur[i + 2] == 0xE0) m = i;
    if (m < 0) return e;
    int at = m + 3, rec[5] = {}, len[5] = {};
    for (int type = 1; type <= 4; ++type) {
        if (at + 2 > 256 || cur[size_t(at)] != type) return e;
        rec[type] = at;
        len[type] = cur[size_t(at) + 1];
        at += len[type] + 2;
        if (at > 256) return e;
    }
    if (len[3] > 20 || len[4] != 6) return e;
    e.valid = true;
    std::vector<uint8_t> img(cur.begin(), cur.begin() + rec[3]);
    std::string s = serial ? *serial : std::string(cur.begin() + rec[3] + 2, cur.begin() + rec[3] + 2 + len[3]);
    img.insert(img.end(), {3, uint8_t(s.size())});
    img.insert(img.end(), s.begin(), s.end());
    img.insert(img.end(), {4, 6});
    for (int i = 0; i < 6; ++i) img.push_back(mac ? mac[i] : cur[size_t(rec[4] + 2 + i)]);
    if (img.size() > 256) return e;
    e.fits = true;
    img.insert(img.end(), cur.begin() + at, cur.end());
    img.resize(256, 0);
    std::copy(img.begin(), img.end(), e.image.begin());
    return e;
}

const char* const kRefusals[4] = {"ERROR: Invalid MAC address length.", "ERROR: Invalid characters in the MAC address.",
                                  "Serial number longer than 20 characters.", "\nIllegal char "};
struct Case {
    Image image{};
    std::string typed, serial;
    bool newMac = false, newSerial = false;
    uint8_t mac[6] = {};
    size_t refusals[4] = {}; // lines refused with each of kRefusals
};

Case randomCase(std::mt19937& rng)
{
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const char *alnum = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", *hex = "0123456789abcdefABCDEF";
    auto text = [&](int n, const char* from) {
        std::string t;
        while (int(t.size()) < n) t += from[pick(0, int(std::strlen(from)) - 1)];
        return t;
    };
    Case c;
    for (auto& b : c.image) b = uint8_t(pick(0, 255));
    // Mostly a laid-down VPD, of every length up to the brim and beyond.
    if (pick(0, 9) > 0) {
        std::vector<uint8_t> v(size_t(pick(0, 3) == 0 ? pick(0, 40) : 0), 0xFF);
        int lens[4] = {pick(0, 80), pick(0, 40), pick(0, 20), 6};
        if (pick(0, 2) == 0) { // records 1 to 4 end within a few bytes of the image's end
            lens[1] = pick(0, 30);
            lens[0] = 239 - int(v.size()) - lens[1] - lens[2] - pick(-2, 6);
        }
        v.insert(v.end(), {0xFF, 0x01, 0xE0});
        for (int t = 1; t <= 4; ++t) {
            v.insert(v.end(), {uint8_t(t), uint8_t(lens[t - 1])});
            for (char ch : text(lens[t - 1], alnum)) v.push_back(t < 4 ? uint8_t(ch) : uint8_t(pick(0, 255)));
        }
        v.insert(v.end(), {5, 2, 8, 17, 6, 4, 0, 0, 0x85, 0x41, 7, 1, 1});
        std::copy(v.begin(), v.begin() + std::min<long>(long(v.size()), 256), c.image.begin());
        for (int k = pick(0, 4) == 0 ? pick(1, 3) : 0; k > 0; --k) c.image[size_t(pick(0, 80))] = uint8_t(pick(0, 255));
    }
    auto answer = [&](bool yes) { c.typed += yes ? (pick(0, 1) ? "y\n" : "Y\n") : (pick(0, 1) ? "n\n" : "x\n"); };
    auto refused = [&](int kind) {
        std::string t = kind == 0 ? text(pick(0, 25), hex)
                      : kind == 1 ? text(12, hex)
                      : text(kind == 2 ? pick(21, 40) : pick(1, 20), alnum);
        if (kind == 0 && t.size() == 12) t += "0";
        if (kind == 1) t[size_t(pick(0, 11))] = "gz :-"[pick(0, 4)];
        if (kind == 3) t[size_t(pick(0, int(t.size()) - 1))] = "-_ .!/"[pick(0, 5)];
        c.typed += t + "\n";
        ++c.refusals[kind];
    };
    answer(c.newMac = pick(0, 1));
    if (c.newMac) {
        for (int k = pick(0, 2); k > 0; --k) refused(pick(0, 1));
        std::string good = text(12, hex);
        c.typed += good + "\n";
        for (int i = 0; i < 6; ++i) c.mac[i] = uint8_t(std::stoi(good.substr(size_t(2 * i), 2), nullptr, 16));
    }
    answer(c.newSerial = pick(0, 1));
    if (c.newSerial) {
        for (int k = pick(0, 2); k > 0; --k) refused(pick(2, 3));
        c.serial = text(pick(0, 3) ? pick(0, 20) : pick(15, 20), alnum);
        c.typed += c.serial + "\n";
    }
    return c;
}

// Never out of bounds (the sanitizer build runs this too); the new image is the exact one worked
// out above, or the EEPROM stays unchanged with the refusal. Every image is dumped (asked for more
// than its 256 bytes) and rebuilt; the whole dialog runs for the refusals among the first 500
// cases and for the first writes (256 byte writes with their write cycles are slow).
TEST_F(Vpd, ProgrammingSearch)
{
    const uint32_t seed = 20080428;
    std::mt19937 rng(seed);
    int written = 0, tooLong = 0, invalid = 0;
    for (int n = 0; n < 3000; ++n) {
        Case c = randomCase(rng);
        SCOPED_TRACE(::testing::Message() << "seed " << seed << " case " << n << " typed:\n" << c.typed);
        Expected e = expectedImage(c.image, c.newSerial ? &c.serial : nullptr, c.newMac ? c.mac : nullptr);
        Image built{};
        int rc = vpdBuild(c.image.data(), c.newSerial ? c.serial.c_str() : nullptr, c.newMac ? c.mac : nullptr,
                          built.data());
        ASSERT_EQ(rc, e.fits ? 0 : -1);
        if (e.fits) { ASSERT_EQ(built, e.image); }
        (e.fits ? written : e.valid ? tooLong : invalid)++;
        if (n >= 500 || (e.fits && written > 15)) continue;

        load(c.image);
        ASSERT_EQ(vpdDump(0, 300), 0);
        takeText();
        if (e.valid) peer().type(c.typed);
        rc = vpdGenerate();
        std::string out = takeText();
        if (!e.valid) {
            ASSERT_EQ(rc, -1);
            ASSERT_PRED2(textcheck::has, out, "ERROR: The VPD EEPROM holds no valid VPD");
            ASSERT_EQ(eeprom(), c.image);
            continue;
        }
        for (int k = 0; k < 4; ++k) EXPECT_EQ(textcheck::count(out, kRefusals[k]), c.refusals[k]) << out;
        if (!e.fits) {
            EXPECT_EQ(rc, -1);
            EXPECT_HAS(out, "does not fit in the VPD EEPROM (room for ");
            EXPECT_HAS(out, "Nothing written.\n");
            EXPECT_EQ(eeprom(), c.image);
        } else {
            EXPECT_EQ(rc, 0) << out;
            EXPECT_EQ(eeprom(), e.image);
        }
        if (HasFailure()) return;
    }
    EXPECT_GT(written, 1000);
    EXPECT_GT(tooLong, 100);
    EXPECT_GT(invalid, 300);
    std::printf("VPD search: %d rebuilt, %d refused as too long, %d without valid VPD\n", written, tooLong, invalid);
}

TEST_F(Vpd, EndOfInputAbandonsTheDialogWithoutWriting)
{
    Image before = eeprom();
    uint64_t cycles = host::board().i2cBus().addressCycles();
    peer().type("y\n");
    EXPECT_EQ(vpdGenerate(), -1);
    EXPECT_HAS(takeText(), "ERROR: End of input. VPD not changed.");
    EXPECT_EQ(eeprom(), before);
    EXPECT_LT(host::board().i2cBus().addressCycles() - cycles, 10u) << "only the read";
}

} // namespace
