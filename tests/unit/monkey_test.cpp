// monkey_test.cpp - a seeded random-keystroke search over the whole console
// menu tree, from power-on, in virtual time. Each time the board waits for
// input the monkey reads the prompt it shows and types one random line or
// control burst for it. Failures: a crash or sanitizer report (the seed and
// the keys go to stderr first), a hang (no known prompt within a bounded
// virtual time of X-on, Ctrl-X and Enter), or a file changed that no typed
// command asked for. TARN_SEED and TARN_MONKEY_ITERS choose a longer run.
#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "host/os/hostos.h"
#include "host/os/root.h"
#include "image/dim.h"
#include "image/imageActivate.h"
#include "log/eventLog.h"
#include "log/log.h"
#include "osapi.h"
#include "support/imageBuilder.h"
#include "support/search.h"
#include "support/testBoard.h"
#include "support/textCheck.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct MonkeyDone {};

std::string keysSoFar; // everything typed, for the report of a crash
uint32_t seedNow = 0;

void reportKeys()
{
    std::string text = "monkey: seed " + std::to_string(seedNow) + ", keys typed:\n" + search::printable(keysSoFar) + "\n";
    (void)!::write(2, text.data(), text.size());
}

// The prompts the monkey knows, by the text the board ends its output with.
enum class Prompt { Main, Util, Mem, Autoboot, YesNo, FileName, FsNumber, Rtc, Mac, Serial, Baud, Transfer, Other };
struct PromptText { Prompt kind; const char *tail, *name; };
const PromptText kPrompts[] = {
    {Prompt::Main, "[Boot Menu] ", "main menu"},
    {Prompt::Util, "Select option (0-17): ", "utilities menu"},
    {Prompt::Mem, "\r\n> ", "memory command"},
    {Prompt::Autoboot, "Select (1, 2):", "autoboot"},
    {Prompt::YesNo, "(y/n):", "yes/no"},   {Prompt::YesNo, "(y/n): ", "yes/no"}, {Prompt::YesNo, "(y/n) ", "yes/no"},
    {Prompt::FileName, "Input filename - ", "file to delete"},
    {Prompt::FsNumber, "(0=forever) ", "file system test count"},
    {Prompt::FsNumber, "Input write size ", "file system test size"},
    {Prompt::FsNumber, "Input read size ", "file system test size"},
    {Prompt::Rtc, "(24-hour format)\r\n", "RTC setting"},
    {Prompt::Mac, "000629328140)\r\n-> ", "VPD MAC address"},
    {Prompt::Serial, "in the VPD -> ", "VPD serial number"},
    {Prompt::Baud, "0 - no change\r\n-> ", "baud rate"},
    {Prompt::Transfer, "cancel", "transfer"}, {Prompt::Transfer, "C", "transfer"},
};

const PromptText* promptOf(const std::string& out)
{
    for (const PromptText& p : kPrompts)
        if (out.ends_with(p.tail)) return &p;
    return nullptr;
}

class Monkey : public TestBoard {
protected:
    std::mt19937 rng;
    uint64_t actions = 0, limit = 0;
    std::set<std::string> reached;   // prompts seen
    std::set<std::string> allowed;   // files the commands typed since the last check may change
    Files snapshot;
    bool anyAllowed = true;          // a power-on may rewrite its files
    uint64_t lostSinceNs = 0;        // when the monkey last lost track of the prompt
    int lostRounds = 0;
    std::string lastOut;

    uint32_t pick(uint32_t n) { return uint32_t(rng() % n); }
    bool chance(int percent) { return int(pick(100)) < percent; }
    std::string number(int lo, int hi) { return std::to_string(lo + int(pick(uint32_t(hi - lo + 1)))); }

    void put(const std::string& keys) { keysSoFar += keys, peer().type(keys); }

    void checkFiles()
    {
        auto now = boardFiles();
        std::string changed =
            filesChanged(snapshot, now, [&](const std::string& n) { return anyAllowed || allowed.count(n); });
        if (!changed.empty()) {
            ADD_FAILURE() << changed << "without a command that asks for it";
            reportKeys();
            throw MonkeyDone{};
        }
        snapshot = std::move(now);
        allowed.clear();
        anyAllowed = false;
    }

    // Bytes of every kind except those that edit or end a line, X-off, and a
    // leading character that is not a digit, blank or 'w': so no burst can
    // become a menu number or a memory write.
    std::string binary(size_t n)
    {
        std::string s = "x";
        while (s.size() < n) {
            char c = char(pick(256));
            if (c == '\r' || c == '\n' || c == '\b' || c == 0x7f || c == 0x15 || c == 0x13 || c == 0x04) continue;
            s += c;
        }
        return s;
    }

    // Something for any prompt where a stray line is harmless.
    std::string noise()
    {
        switch (pick(7)) {
        case 0: return "\x13" + binary(1 + pick(900)) + "\x11\r"; // past the 512-byte input buffer too
        case 1: return "\x03";
        case 2: return "\x04";
        case 3: return "x" + binary(pick(30)) + "\x15" + "x\r";
        case 4: return binary(80 + pick(520)) + "\r";
        case 5: return binary(1 + pick(60)) + "\r";
        default: return "\x11";
        }
    }

    std::string mainChoice()
    {
        static const int kChoices[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                                       13, 21, 22, 23, 24, 30, 30, 30, 0,  99, 255};
        int c = kChoices[pick(sizeof kChoices / sizeof kChoices[0])];
        if (c == 8) allowed.insert({"image1", "image2"});
        for (auto& [rel, v] : snapshot)
            if (c == 10 && (rel.find(".cfg") != std::string::npos || rel.find("startup-config") != std::string::npos))
                allowed.insert(fs::path(rel).filename().string());
        if (c == 11) allowed.insert("boot.dim");
        if (c == 21) allowed.insert("testfile");
        if (c == 1 || c == 12) allowed.insert("diag_config.cfg");
        return chance(10) ? "?" + std::to_string(c) + "\r" : std::to_string(c) + "\r";
    }

    std::string memLine()
    {
        static const uint32_t kBases[] = {0x0, 0x7c004000, 0x00100000, 0x0FFFFF00, 0x10000000, 0xE0000000,
                                          0xE0020000, 0xFE000000, 0xFFF00000, 0xFFFFFFF0, 0x80000000};
        char line[64];
        switch (pick(6)) {
        case 0: return "q\r";
        case 1: return "w " + number(0, 9) + "\r"; // missing operand: nothing written
        case 2: return std::string(pick(2) ? "r" : "R") + " " + number(0, 9) + "\r";
        default: {
            uint32_t addr = chance(20) ? uint32_t(rng()) : kBases[pick(sizeof kBases / sizeof kBases[0])] + pick(512);
            int count = chance(10) ? -int(pick(5)) : chance(10) ? int(pick(4096)) : int(pick(64));
            std::snprintf(line, sizeof line, "r %x %d\r", addr, count);
            return line;
        }
        }
    }

    // One line (or burst) for the prompt the board shows.
    std::string next(Prompt p)
    {
        if (chance(8) && p != Prompt::FsNumber && p != Prompt::FileName) return noise();
        switch (p) {
        case Prompt::Main: return mainChoice();
        case Prompt::Util: {
            // Not 11 (format) or 6 (RAM test over all free memory): their own tests cover them.
            static const int kUtil[] = {0, 0, 1, 1, 1, 2, 3, 4, 5, 7, 8, 9, 10, 12, 13, 14, 15, 15, 16, 17, 18, 99};
            int c = kUtil[pick(sizeof kUtil / sizeof kUtil[0])];
            if (c == 8) allowed.insert("eeprom.bin");
            if (c == 12) allowed.insert("tempcode.bin");
            return std::to_string(c) + "\r";
        }
        case Prompt::Mem: return memLine();
        case Prompt::Autoboot: return std::string(pick(2) ? "2" : chance(50) ? "1" : "") + "\r";
        case Prompt::YesNo: return std::string(pick(3) ? "n" : "y") + "\r";
        case Prompt::FileName: {
            allowed.insert("testfile");
            static const char* kNames[] = {"", "nosuchfile", "testfile", "/DskVol/nothing", "..", "a/b/c"};
            return chance(10) ? "x" + std::string(200, 'n') + "\r" : std::string(kNames[pick(6)]) + "\r";
        }
        case Prompt::FsNumber:
            // Iterations 1 to 3; 0 and negative counts run until a failure.
            return (lastOut.ends_with("(0=forever) ") ? number(1, 3) : number(-3, 9000)) + "\r";
        case Prompt::Rtc: {
            static const char* kLines[] = {"04-28-2008 14:05:09", "2-29-2008 0:0:0", "2-29-2009 1:1:1", "13-1-2008 1:1:1",
                                           "12-31-2099 23:59:59", "1-1-1999 0:0:0", "04-28-2008 24:00:00", "4-31-2008",
                                           "x", "", "-1--1--1 -1:-1:-1", "99999999999-1-2008 1:2:3"};
            return std::string(kLines[pick(sizeof kLines / sizeof kLines[0])]) + "\r";
        }
        case Prompt::Mac: return (chance(70) ? "0006293281" + number(10, 99) : binary(pick(20))) + "\r";
        case Prompt::Serial:
            // Up to 28 characters: long ones may not fit the EEPROM (refused) or
            // exceed the 20 a serial number may have.
            return (chance(70) ? "SN" + number(0, 99999999) + std::string(pick(19), 'X') : "bad serial!") + "\r";
        case Prompt::Baud: return number(0, 12) + "\r";
        case Prompt::Transfer: return chance(30) ? binary(1 + pick(200)) : "\x18\x18\x18\x18\x18\x18\x18\x18\r";
        default: return "\r";
        }
    }

    bool idle()
    {
        vx::fflushStdout();
        lastOut = peer().output();
        if (lastOut.size() > 4096) lastOut.erase(0, lastOut.size() - 4096);
        const PromptText* p = promptOf(lastOut);
        // On a sound board the file system test and memory reads find nothing wrong.
        for (const char* broken : {"mismatch", "test file failed", "Error creating temp file"})
            if (lastOut.find(broken) != std::string::npos) {
                ADD_FAILURE() << "the board reported \"" << broken << "\":\n" << search::printable(lastOut);
                throw MonkeyDone{};
            }
        if (p) {
            reached.insert(p->name);
            lostSinceNs = 0, lostRounds = 0;
            if (p->kind == Prompt::Main) checkFiles();
            if (++actions > limit) throw MonkeyDone{};
            std::string keys = next(p->kind);
            peer().clearOutput();
            put(keys);
            return true;
        }
        // A prompt the monkey does not know, or none yet: X-on, cancel, Enter.
        if (lostRounds == 0) lostSinceNs = host::clockNowNs();
        if (host::clockNowNs() - lostSinceNs > 600'000'000'000ull || ++lostRounds > 100000) {
            ADD_FAILURE() << "no known prompt within 10 virtual minutes of X-on, Ctrl-X and Enter; last output:\n"
                          << search::printable(lastOut);
            reportKeys();
            throw MonkeyDone{};
        }
        if (lostRounds % 20 == 1) put("\x11\x18\x18\x18\x18\x18\r");
        return true;
    }

    void run(uint32_t seed, uint64_t steps)
    {
        seedNow = seed;
        rng.seed(seed);
        limit = steps;
        keysSoFar.clear();
        formatFlashDisk();
        writeHostFile("image1", testimg::plainImage(testimg::kBoard, textcheck::deflate(std::string(5000, 'o'))));
        writeHostFile("image2", testimg::plainImage(testimg::kBoard, textcheck::deflate(std::string(9000, 'q'))));
        writeHostFile("boot.dim", "---IMAGE---\nactive\nactive\nimage1\n0\ndefault\n"
                                  "---IMAGE---\nbackup\nbackup\nimage2\n0\n\n");
        writeHostFile("startup-config", "hostname tarn\nvlan database\n");
        peer().onIdle = [this](host::ScriptedPeer&) { return idle(); };
        peer().onOutput = nullptr;
        int powerOns = 0;
        for (;;) {
            ++powerOns;
            try {
                bootMain();
            } catch (const MonkeyDone&) {
                break;
            } catch (const host::BoardResetRequested&) { // a reset, a handover or a stop: the next power-on
            } catch (const host::HandoverRequested&) {
            } catch (const host::TaskSuspended&) {}
            if (HasFailure()) break;
            checkFiles();
            powerOn();
            anyAllowed = true;
        }
        std::string names;
        for (auto& r : reached) names += " [" + r + "]";
        std::printf("monkey: seed %u, %llu actions, %d power-ons, prompts reached:%s\n", seed,
                    (unsigned long long)actions, powerOns, names.c_str());
        if (HasFailure()) reportKeys();
    }
};

TEST_F(Monkey, RandomKeystrokesFromPowerOn)
{
    search::reportCrashesWith(reportKeys);
    run(uint32_t(search::env("TARN_SEED", 20261207u)), search::env("TARN_MONKEY_ITERS", 800));
    EXPECT_GE(reached.size(), 10u) << "the monkey should reach most of the menu tree";
}

} // namespace
