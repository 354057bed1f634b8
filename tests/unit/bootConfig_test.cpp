// Console input of the menus, the autoboot prompt and the flash access lock.
#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "host/os/hostos.h"
#include "image/imageActivate.h"
#include "osapi.h"
#include "bsp/cpu/tarn8541/vxworks/start/bootLaunch.h"
#include "bsp/cpu/tarn8541/vxworks/start/bootUtil.h"
#include "image/dim.h"
#include "log/eventLog.h"
#include "support/imageBuilder.h"
#include "support/testBoard.h"
#include "support/xmodemPeer.h"
#include "support/textCheck.h"
#include "xmodem/xmodem.h"

#include <filesystem>
#include <map>
#include <vector>

namespace {

class BootInput : public TestBoard {
protected:
    uint8_t number(const std::string& line)
    {
        peer().type(line + "\r");
        return bootReadNumber();
    }
};

TEST_F(BootInput, MenuNumbers)
{
    const std::pair<std::string, int> rows[] = {
        {"?", 99}, {"?17", 99}, {" ?", 0}, {"", 0}, {"256", 0}, {"300", 44}, {"-1", 255}, {"12abc", 12}, {"abc", 0},
        {"  7", 7}, {"99999999999999999999", 255}, // clamped like a 32-bit strtol
        {std::string(78, '0') + "5", 5}, {std::string(79, '0') + "5", 0}}; // 79 characters fit, the 80th is cut
    for (auto [line, want] : rows) EXPECT_EQ(number(line), want) << line;
    // Backspaces that reach the menus (the console's own line editing off):
    // one removes the last kept character; with none kept it is kept itself.
    vx::ioctl(vx::STD_IN, vx::FIOSETOPTIONS, vx::OPT_TERMINAL & ~vx::OPT_LINE);
    for (auto [line, want] : {std::pair{"12\b3", 13}, {"12\b", 1}, {"\b5", 0}, {"\b56", 0}, {"1\b\b23", 0},
                              {"12\b\b\b4", 0}})
        EXPECT_EQ(number(line), want) << line;
    for (auto [line, want] : {std::pair{"y\b", 0}, {"Yes", 'Y'}, {"\by", '\b'}, {"n\by", 'y'}, {"", 0}}) {
        peer().type(line + std::string("\r"));
        EXPECT_EQ(bootReadAnswer(), want) << line;
    }
}

// Neither a longer line's rest nor a zero byte (Ctrl-Space, a raw client's CR
// NUL) costs the next line; the zero bytes are dropped.
TEST_F(BootInput, OverlongLinesAndZeroBytesCostNoFollowingLine)
{
    const char nuls[] = "1\0" "2\r\0" "3\r\0\r" "\0y\r" "a\0b\r";
    peer().type(std::string(79, '1') + std::string(300, '7') + "\r4\r" + std::string(nuls, sizeof nuls - 1));
    EXPECT_EQ(bootReadNumber(), uint8_t(uint32_t(INT32_MAX) & 0xFF));
    EXPECT_EQ(bootReadNumber(), 4) << "the excess is not read as the next line";
    for (int want : {12, 3, 0}) EXPECT_EQ(bootReadNumber(), want);
    EXPECT_EQ(bootReadAnswer(), 'y');
    char line[BOOT_LINE_LEN];
    EXPECT_STREQ(bootReadLine(line), "ab");
}

// The autoboot prompt on the board's clock: lines typed at given times (ms
// after the prompt), the result, how often the prompt was shown and when it
// returned. Once a key is pressed the line is awaited without limit.
TEST_F(BootInput, AutobootPrompt)
{
    using Script = std::vector<std::pair<uint64_t, std::string>>;
    const struct Row {
        int kind;
        Script typed;
        int want, prompts;
        uint64_t ms;
    } rows[] = {
        {1, {}, 1, 1, 2000},                         {1, {{0, "\r"}}, 1, 1, 0},
        {1, {{0, "1\r"}}, 1, 1, 0},                   {3, {{0, "2\r"}}, 2, 1, 0},
        {1, {{1990, "2\r"}}, 2, 1, 1990},             {1, {{2010, "2\r"}}, 1, 1, 2000},
        {1, {{0, "25\r"}}, 2, 1, 0},                  {3, {{0, "12\r"}}, 1, 1, 0},
        {1, {{0, "3\r"}}, 1, 2, 2000},                {1, {{1500, "x\r"}, {3490, "2\r"}}, 2, 2, 3490},
        {3, {{0, " 2\r"}, {10, "0\r"}}, 1, 3, 2010}, {1, {{1000, "2"}, {9000, "\r"}}, 2, 1, 9000},
        {3, {{0, "\x04"}}, 1, 1, 0},
    };
    const std::string intro = "Select an option. If no selection in 2 seconds then\n";
    for (const Row& r : rows) {
        SCOPED_TRACE(r.typed.empty() ? "silence" : r.typed[0].second);
        takeOutput();
        const uint64_t t0 = host::clockNowNs();
        size_t next = 0;
        peer().onIdle = [&](host::ScriptedPeer& p) {
            if (next == r.typed.size()) return false;
            bool due = host::clockNowNs() - t0 >= r.typed[next].first * 1000000;
            due ? p.type(r.typed[next++].second) : host::clockAdvanceNs(10000000);
            return true;
        };
        EXPECT_EQ(bootAutobootPrompt(r.kind), r.want);
        EXPECT_EQ((host::clockNowNs() - t0) / 1000000, r.ms);
        std::string out = takeText();
        EXPECT_EQ(textcheck::count(out, intro), size_t(r.prompts));
        EXPECT_TRUE(!r.typed.empty() || out.substr(out.size() - 15) == "Select (1, 2):\n") << out;
        EXPECT_EQ(out.substr(0, out.find(":") + 1),
                  intro + (r.kind == 1 ? "operational code will start.\n\n1 - Start operational code.\n"
                                       : "diagnostics will start.\n\n1 - Start diagnostic code.\n") +
                      "2 - Start Boot Menu.\nSelect (1, 2):");
    }
}

class FlashLock : public TestBoard {};

TEST_F(FlashLock, MisuseResetsTheBoard)
{
    flashAccessLockCreate();
    flashAccessLockTake();
    flashAccessLockGive();
    EXPECT_THROW(flashAccessLockGive(), host::BoardResetRequested) << "give while free";
    flashAccessLockCreate();
    host::intContextSet(true);
    EXPECT_THROW(flashAccessLockTake(), host::BoardResetRequested) << "take from an interrupt";
    host::intContextSet(false);
}

class Menu : public TestBoard {
protected:
    // A boot from power-on (start < 0) or the menu entered with crc-invalid
    // `start`, answering each prompt with the next key ("~": no answer, so the
    // autoboot wait runs out). How it ended: the code entered, a reset, or the
    // menu waiting once the keys are used up.
    std::string boot(int start, const std::vector<std::string>& keys)
    {
        asked = host::clockNowNs();
        size_t next = 0;
        peer().onIdle = [&](host::ScriptedPeer& p) {
            const std::string& out = p.output();
            auto at = [&](const std::string& prompt) {
                return out.size() >= prompt.size() && out.compare(out.size() - prompt.size(), prompt.size(), prompt) == 0;
            };
            bool menu = at("[Boot Menu] ");
            if (!menu && !at("Select (1, 2):") && !at("(y/n):") && !at("-> ")) return false;
            if (next == 0) asked = host::clockNowNs();
            if (next >= keys.size() && menu) throw PeerExhausted{};
            if (next >= keys.size() || keys[next] == "~") return ++next, false;
            p.type(keys[next++] + "\r");
            return true;
        };
        try {
            start < 0 ? bootMain() : bootMenu(start);
        } catch (const host::HandoverRequested& h) {
            return h.line.substr(h.line.find("kind="), h.line.find(" load=") - h.line.find("kind="));
        } catch (const host::BoardResetRequested&) {
            return "reset";
        } catch (const PeerExhausted&) {
            return "menu";
        }
    }
    uint64_t asked = 0; // when the boot first asked
};

// What the start-up and the menu decide, from the stored images and start mode
// through the keys a person types to the code entered and the mode stored.
TEST_F(Menu, Decisions)
{
    using testimg::put32;
    auto image = [](uint32_t target, uint32_t load, size_t codeLen) {
        std::string s = testimg::plainImage(target, textcheck::deflate(textcheck::noise(codeLen, load)), false);
        put32(s, 16 + 20, load);
        return testimg::seal(s, s.size()), s;
    };
    const std::string op1 = "kind=opcode entry=0x00100000 arg=1", op2 = "kind=opcode entry=0x00200000 arg=1",
                      diag = "kind=diag entry=0x01000000 arg=1";
    const std::string refused = "ERROR: Operational code CRC is not valid, you must load new code.";
    const std::string noDiag = "ERROR: Diag code CRC is not valid, you must load new code.";
    const uint32_t nearEnd = CODE_LOAD_AREA_END - 20000;
    const struct Row {
        const char* what;
        int start, mode;
        char image1, image2; // g: good, t: built for another board, e: ends 20000 bytes before the load area's end
        bool diag;           // (image2 is the directory's backup)
        std::vector<std::string> keys;
        std::string end;
        std::vector<std::string> shows; // in this order
        int checks, lookups, modeAfter; // image checks that named the wrong board, diagnostics images missed
        const char* sent = nullptr;     // the file an XMODEM load receives
        int ms = -1;                    // the time from the first prompt to the end
    } rows[] = {
        {"silence", -1, 2, 'g', '-', false, {"~"}, op1, {"done...", "operational code will start."}, 0, 0, 2},
        {"menu, then 1", -1, 2, 'g', '-', true, {"2", "1"}, op1, {"Options available"}, 0, 0, 2},
        {"start mode 3", -1, 3, 'g', '-', true, {"~"}, op1, {"operational code will start."}, 0, 0, 3},
        {"delete, then 1", -1, 2, 'g', '-', false, {"2", "8", "Y", "1"}, "menu",
         {"delete operational code : image1 ? (y/n):", "Operational code deleted...", refused}, 0, 0, 2},
        {"delete refused, then 1", -1, 2, 'g', '-', false, {"2", "8", "n", "1"}, op1, {"Code not deleted."}, 0, 0, 2},
        {"backup at start-up", -1, 2, 't', 'g', false, {"~"}, op2,
         {"Activating backup image", "Backup image - image2 activated.", "operational code will start."}, 1, 0, 2},
        {"no usable code", -1, 2, 't', 't', false, {"1", "6"}, "menu",
         {"Failed to activate Backup Image.", "Operational code CRC is invalid.", refused,
          "ERROR: Operational code CRC is not valid.\n"}, 2, 0, 2},
        {"activate backup, then 1", 1, 2, 't', 'g', false, {"11", "1"}, op2,
         {"Operational code CRC is invalid.", "Backup image - image2 activated."}, 0, 0, 2},
        {"deletion that fails", 1, 2, 'd', '-', false, {"8", "y"}, "menu", // image1 is a directory
         {"(y/n):y\n\nERROR: Could not delete image1: "}, 0, 0, 2},
        {"activate backup fails", 1, 2, 't', '-', false, {"11", "1"}, "menu",
         {"Failed to activate Backup Image.", refused}, 0, 0, 2},
        {"diagnostics start", -1, 1, 't', '-', true, {"~"}, diag, {"diagnostics will start."}, 0, 0, 1},
        {"diagnostics start, then back", -1, 1, 'g', '-', true, {"2", "1"}, op1, {"Start diagnostic code."}, 0, 0, 2},
        {"diagnostics start, bad code", -1, 1, 't', '-', true, {"2", "1", "6", "1"}, "menu",
         {refused, "ERROR: Operational code CRC is not valid.\n", refused}, 1, 0, 1},
        {"diagnostics start, 6 then 12", -1, 1, 't', '-', true, {"2", "6", "12"}, diag, {}, 1, 0, 1},
        {"diagnostics start, image gone", -1, 1, 'g', '-', false, {"~"}, op1,
         {"Diag image can not be found. Falling through to system image", "operational code will start."}, 0, 1, 2},
        {"baud rates", -1, 2, 'g', '-', false, {"2", "2", "9", "8", "2", "0", "9", "n", "9", "Y"}, "reset",
         {"8 - 115200\n0 - no change\n-> ", "ERROR: Invalid Option:", "Setting baud rate to 115200, you must change",
          "Baud rate is not changed", "reset the system? (y/n):n", "(y/n):Y"}, 0, 0, 2, nullptr, 1000}, // a second before the new speed
        {"12, then the next start", -1, 2, 'g', '-', true, {"2", "12"}, diag, {}, 0, 0, 1},
        {"12 without an image", -1, 2, 'g', '-', false, {"2", "12", "12", "1"}, op1, {noDiag, noDiag}, 0, 1, 2},
        {"4 fails, then 1", -1, 1, 'g', '-', true, {"2", "4", "1"}, "menu", {"Error loading code...", refused}, 0, 0, 1},
        {"13 fails, then 12", -1, 2, 'g', '-', true, {"2", "13", "12"}, "menu",
         {"Error loading diag code...", noDiag}, 0, 0, 2},
        {"13 fails in diagnostics mode", -1, 1, 'g', '-', true, {"2", "13", "12"}, "menu", {noDiag}, 0, 0, 1},
        {"4 loads, then 1", -1, 1, 't', '-', true, {"2", "1", "4", "1"}, "kind=opcode entry=0x00300000 arg=1",
         {refused, "Verified operational code CRC."}, 1, 0, 2, "new code"},
        {"13 loads, then 12", -1, 2, 'g', '-', false, {"2", "12", "13", "12"}, diag, {noDiag}, 0, 1, 1, "diag"},
        // The event log's buffer is the first allocation: the image buffer
        // above it must not widen the room the load area gives.
        {"code up to the load area's end", -1, 2, 'e', '-', false, {"~"}, "kind=opcode entry=0x03ffb1e0 arg=1", {}, 0, 0, 2},
        {"code past the load area's end", -1, 2, 'E', '-', false, {"~"}, "reset",
         {"There was an error during decompression... resetting the switch"}, 0, 0, 2},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        powerOn();
        formatFlashDisk();
        for (const auto& f : std::filesystem::directory_iterator(hostPath(""))) std::filesystem::remove_all(f);
        writeHostFile("boot.dim", "---IMAGE---\nactive\nactive\nimage1\n0\ndefault\n"
                                  "---IMAGE---\nbackup\nbackup\nimage2\n0\n\n");
        writeHostFile("diag_config.cfg", testimg::be32(uint32_t(r.mode)));
        const std::map<char, std::string> images = {
            {'g', image(testimg::kBoard, 0x00100000, 5000)}, {'t', image(0x00501234, 0x00100000, 5000)},
            {'e', image(testimg::kBoard, nearEnd, 20000)}, {'n', image(testimg::kBoard, 0x00300000, 3000)}, {'E', image(testimg::kBoard, nearEnd, 20000 + 16000)}};
        if (r.image1 == 'd') vx::mkdir("image1");
        if (r.image1 != '-' && r.image1 != 'd') writeHostFile("image1", images.at(r.image1));
        if (r.image2 != '-') writeHostFile("image2", r.image2 == 'g' ? image(testimg::kBoard, 0x00200000, 7000)
                                                                     : images.at(r.image2));
        if (r.diag) writeHostFile("diag_image.stk", "diagnostics");
        writeHostFile("bootcode.bin", "left over"); // whatever starts, or the menu, it goes
        if (r.start >= 0) dimInitialize();
        xpeer::Sender load;
        const std::string sent = !r.sent ? "" : r.sent[0] == 'n' ? images.at('n') : r.sent;
        for (size_t at = 0; at < sent.size(); at += 1024) load.pieces.push_back(sent.substr(at, 1024));
        if (r.sent) load.attach(peer());
        EXPECT_EQ(boot(r.start, r.keys), r.end);
        EXPECT_TRUE(r.ms < 0 || (host::clockNowNs() - asked) / 1000000 == uint64_t(r.ms));
        peer().onOutput = nullptr, peer().onIdle = nullptr; // both held this row's locals
        std::string out = takeText();
        size_t at = 0;
        for (const std::string& piece : r.shows) {
            at = out.find(piece, at);
            EXPECT_NE(at, std::string::npos) << piece << "\n" << out;
        }
        EXPECT_EQ(textcheck::count(out, "not for this board"), size_t(r.checks)) << out;
        EXPECT_EQ(textcheck::count(out, "Diagnostic file diag_image.stk does not exist"), size_t(r.lookups)) << out;
        EXPECT_EQ(readHostFile("diag_config.cfg"), testimg::be32(uint32_t(r.modeAfter)));
        EXPECT_FALSE(hostFileExists("bootcode.bin"));
        EXPECT_EQ(eventLogSlotCount(), r.start < 0 ? 16384u / 52 : 0u); // the start-up's event log store
    }
}

// Utilities option 7: sizes from column 34 (none of the padding for a name of
// 34 characters), the date as month/day/year, directories without either and
// left out of the bytes used.
TEST_F(Menu, DirectoryListingLines)
{
    vx::clockSettime(1209391509, 0); // 28 April 2008, 14:05:09
    for (const std::string& name : {std::string(34, 'a'), std::string(33, 'b'), std::string("c")}) {
        int fd = vx::open(name.c_str(), vx::CREAT | vx::RDWR, 0644);
        std::string bytes(name.size() > 1 ? 7 : 1234567, 'x');
        vx::write(fd, bytes.data(), bytes.size());
        vx::close(fd);
    }
    ASSERT_EQ(vx::mkdir("sub.d"), 0);
    takeOutput();
    bootDirListing();
    EXPECT_EQ(takeText(), ".\n..\n" + std::string(34, 'a') + "7          4/28/2008 14:05:09\n" + std::string(33, 'b') +
                              " 7          4/28/2008 14:05:09\nc" + std::string(33, ' ') +
                              "1234567    4/28/2008 14:05:09\nsub.d\n\nFilesystem size 30881792\n"
                              "Bytes used      1234581\nBytes free      29647211\n");
    // The 4096-byte text holds 4095 characters: ".", "..", 63 lines of 64
    // and a directory's line of 58 fill it; one character more is cut.
    for (int extra : {0, 1}) {
        for (const auto& f : std::filesystem::directory_iterator(hostPath(""))) std::filesystem::remove_all(f);
        for (int i = 100; i < 163; ++i) // names of 34 characters
            vx::close(vx::open(("f" + std::string(30, 'x') + std::to_string(i)).c_str(), vx::CREAT | vx::RDWR, 0644));
        ASSERT_EQ(vx::mkdir(std::string(57 + extra, 'd').c_str()), 0);
        bootDirListing();
        std::string out = takeText();
        EXPECT_EQ(textcheck::has(out, std::string(57 + extra, 'd') + "\n"), extra == 0);
        EXPECT_EQ(textcheck::has(out, "(listing cut"), extra == 1);
    }
}

} // namespace
