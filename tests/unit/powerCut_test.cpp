// powerCut_test.cpp - power cuts at the file writes of every flow that writes (config load,
// diagnostics image load, deletion, backup activation, text log rotation, the event log) and at the
// EEPROM writes of VPD programming: after each cut the next power-on reaches the menu or starts
// code, and no file is lost but the one the flow replaces. A seeded sample of the writes;
// TARN_CUTS=all cuts at every one.
#include "../fuzz/fileTargets.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/i2cLib.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/vpd.h"
#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "host/board/board.h"
#include "host/os/hostos.h"
#include "host/os/root.h"
#include "image/imageLoad.h"
#include "support/search.h"
#include "support/testBoard.h"
#include "support/textCheck.h"
#include "support/xmodemPeer.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>

namespace {

const bool kAllCuts = std::getenv("TARN_CUTS") && std::string(std::getenv("TARN_CUTS")) == "all";
const std::string kDim = "---IMAGE---\nactive\nactive\nimage1\n0\ndefault image\n"
                         "---IMAGE---\nbackup\nbackup\nimage2\n0\n\n";

struct Flow {
    const char* name;
    std::function<void()> run;              // the flow, cut somewhere in its writes
    std::vector<std::string> replaced;      // files it may leave old, new or (for a delete) gone
    std::function<std::string()> check;     // after the next power-on: "" or what is wrong
};

class PowerCut : public TestBoard {
protected:
    std::map<std::string, std::string> before;
    xpeer::Sender sender;

    // A sender that answers the board's 'C', NAK and ACK with the blocks of data.
    void sendOnRequest(const std::string& data)
    {
        sender = {};
        for (size_t at = 0; at < data.size(); at += 128) sender.pieces.push_back(data.substr(at, 128));
        sender.attach(peer());
    }

    void board()
    {
        writeHostFile("image1", testimg::plainImage(testimg::kBoard, textcheck::deflate(std::string(5000, 'o'))));
        writeHostFile("image2", testimg::plainImage(testimg::kBoard, textcheck::deflate(std::string(900, 'q'))));
        writeHostFile("boot.dim", kDim);
        writeHostFile("startup-config", "hostname old\n");
        writeHostFile("diag_image.stk", "old diagnostics");
        for (const char* n : {"slog0.txt", "slog1.txt", "olog0.txt"})
            writeHostFile(n, "<" + std::string(n) + std::string(591, '\0'));
        std::remove(hostPath("log2.bin").c_str()); // a log that fills up is emptied by design
        before.clear();
        for (const char* n : {"image1", "image2", "boot.dim", "startup-config", "diag_image.stk"})
            before[n] = readHostFile(n);
    }

    // The next power-on: code starts after the autoboot wait, or the menu asks.
    bool startsOrAsks()
    {
        peer().clearOutput();
        peer().onIdle = [](host::ScriptedPeer& p) {
            if (p.output().find("[Boot Menu] ") != std::string::npos) throw PeerExhausted{};
            return false;
        };
        try {
            bootMain();
        } catch (const host::HandoverRequested&) {
            return true;
        } catch (const PeerExhausted&) {
            return true;
        } catch (...) {
            return false;
        }
    }

    // Runs the flow with a cut at each chosen write until it completes uncut.
    int sweep(const Flow& f)
    {
        std::mt19937 rng(uint32_t(search::env("TARN_SEED", 7)));
        int cuts = 0;
        formatFlashDisk();
        for (uint64_t n = 1; n < 100000; n += kAllCuts ? 1 : 1 + rng() % 4) {
            powerOn();
            peer().onOutput = nullptr;
            board();
            flashAccessLockCreate();
            host::filesSetPowerCutAfterWrites(n);
            bool cut = false;
            try {
                f.run();
            } catch (const host::PowerCutRequested&) {
                cut = true;
            } catch (const PeerExhausted&) {
            }
            host::filesSetPowerCutAfterWrites(0);
            powerOn();
            peer().onOutput = nullptr;
            EXPECT_TRUE(startsOrAsks()) << f.name << ": power-on after a cut at write " << n;
            for (auto& [name, old] : before) {
                bool mayChange = std::find(f.replaced.begin(), f.replaced.end(), name) != f.replaced.end();
                EXPECT_TRUE(mayChange || readHostFile(name) == old)
                    << f.name << ": cut at write " << n << " changed " << name;
            }
            EXPECT_EQ(f.check ? f.check() : "", "") << f.name << ": cut at write " << n;
            if (!cut) break;
            ++cuts;
        }
        std::printf("powerCut: %s: %d cuts\n", f.name, cuts);
        return cuts;
    }
};

TEST_F(PowerCut, EveryWritingFlowSurvivesACutAtItsWrites)
{
    int stored = 0;
    // The saved configuration is the old or the new one.
    auto configKept = [] {
        cliTxtCfgCtx ctx;
        if (cliTxtCfgCmdInit("startup-config", &ctx) != 0) return std::string("startup-config lost");
        char* first = cliTxtCfgCmdGet(&ctx, 1);
        std::string line = first ? first : "(none)";
        cliTxtCfgCmdClose(&ctx);
        return line == "hostname old" || line == "hostname new" ? "" : "startup-config begins " + line;
    };
    // The oldest start-up log the rotation keeps is still there.
    auto logKept = [this] {
        for (const char* n : {"slog0.txt", "slog1.txt", "slog2.txt"})
            if (readHostFile(n).rfind("<slog0.txt", 0) == 0) return std::string();
        return std::string("the last start's log is lost");
    };
    // Every event stored before the cut is in the log the power-on opened.
    auto eventsKept = [&stored] {
        char text[EVENT_LOG_TEXT_LEN];
        int shown = 0;
        for (int32_t c = eventLogFormat(nullptr, EVENT_LOG_NONE, text); c != EVENT_LOG_NONE && shown < 1000;
             c = eventLogFormat(nullptr, c, text))
            ++shown;
        return shown + 1 >= stored ? std::string()
                                   : std::to_string(stored) + " events stored, " + std::to_string(shown + 1) + " kept";
    };
    std::string config = "hostname new\ninterface 0/1\nvlan database\n vlan 7\nexit\n" + std::string(600, '!') + "\n";
    const Flow flows[] = {
        {"config load", [&] { sendOnRequest(config); configLoad(); }, {"startup-config"}, configKept},
        {"diagnostics load", [&] { sendOnRequest(std::string(900, 'D')); imageDiagLoad(0); }, {"diag_image.stk"},
         [this] {
             std::string d = readHostFile("diag_image.stk");
             return d == "old diagnostics" || d.rfind(std::string(900, 'D'), 0) == 0 ? "" : "diag_image.stk lost";
         }},
        {"delete", [&] {
             peer().onIdle = [](host::ScriptedPeer&) -> bool { throw PeerExhausted{}; };
             peer().type("8\ry\r");
             bootMenu(1);
         }, {"image1", "boot.dim"}, nullptr}, // the next start activates the backup
        {"backup activation", [&] { dimInitialize(); imageBackupActivate(); }, {"boot.dim"}, nullptr},
        {"log rotation", [&] {
             logInit();
             for (int i = 0; i < 40; ++i) logStartupWrite("<6> message", 11);
         }, {}, logKept},
        {"event log", [&] {
             stored = 0;
             eventLogOpen(16384, nullptr, 5, 2, 7);
             for (int i = 0; i < 40; ++i, ++stored) eventLogWrite("f.c", i, 0x1234);
         }, {}, eventsKept},
    };
    // A deletion writes nothing (a removal is no write call): its one run
    // checks the start after it.
    for (const Flow& f : flows)
        EXPECT_TRUE(sweep(f) > 0 || f.name == std::string("delete")) << f.name << ": no write was cut";
}

// VPD programming cut in one of its EEPROM write cycles: each byte is left
// old, new or erased, the files are as they were, and the next start-up,
// which reads the VPD, reaches the menu or starts code.
TEST_F(PowerCut, VpdProgrammingSurvivesACutInAnyWriteCycle)
{
    std::mt19937 rng(7);
    formatFlashDisk();
    auto rom = []() -> host::At24c02& { return host::board().eeprom(); };
    const auto old = rom().contents();
    host::At24c02::Image fresh{};
    int cuts = 0;
    for (uint64_t n = 0; n < 1000; n += n == 0 ? 1 : kAllCuts ? 1 : 1 + rng() % 24) {
        powerOn();
        board();
        rom().setContents(old);
        ASSERT_EQ(i2cInit(0x90, 0x10, 0x3F), 0);
        rom().setPowerCutAfterWrites(n);
        peer().onIdle = [](host::ScriptedPeer&) -> bool { throw PeerExhausted{}; };
        peer().type("y\n0254414E4E02\ny\nTB42\n");
        bool cut = false;
        try {
            EXPECT_EQ(vpdGenerate(), 0);
        } catch (const host::PowerCutRequested&) {
            cut = true;
        }
        rom().setPowerCutAfterWrites(0);
        const auto now = rom().contents();
        if (n == 0) {
            ASSERT_FALSE(cut);
            ASSERT_NE(now, old);
            fresh = now;
            continue;
        }
        for (int i = 0; i < host::At24c02::kSize; ++i)
            ASSERT_TRUE(now[i] == old[i] || now[i] == fresh[i] || now[i] == 0xFF) << "cut at write " << n << ", byte " << i;
        powerOn();
        peer().onOutput = nullptr;
        EXPECT_TRUE(startsOrAsks()) << "power-on after a cut at EEPROM write " << n;
        for (auto& [name, content] : before) EXPECT_EQ(readHostFile(name), content) << "cut at write " << n;
        if (!cut) break;
        ++cuts;
    }
    EXPECT_GT(cuts, 5);
    std::printf("powerCut: VPD programming: %d cuts\n", cuts);
}

} // namespace
