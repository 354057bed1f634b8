// xmodem_test.cpp - the transfer command and its engines against scripted
// senders and receivers on the virtual clock; the diagnostics image load.
#include "osapi.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>

#include "host/os/hostos.h"
#include "image/imageLoad.h"
#include "support/testBoard.h"
#include "support/xmodemPeer.h"
#include "support/textCheck.h"
#include "xmodem/xmodem.h"

namespace {

using namespace xpeer;

class XmodemTest : public TestBoard {
protected:
    // Descriptors are handed out lowest first: a new file gets the first one
    // only when the transfer left none open.
    bool noFilesOpen()
    {
        const int fd = vx::open("fd.probe", vx::CREAT | vx::RDWR, 0);
        return vx::close(fd), vx::remove("fd.probe"), fd == 3;
    }
};

// ---- receiving (the console's loads run "-cbrke NAME", the retrieval "cbske NAME"; the
// command's other forms and its usage errors are reached from no console path) -------------

// A seeded search: data of random lengths in 128- and 1K-blocks, senders that start late or know
// only checksum blocks, a line that flips and drops bytes, loses start characters and ACKs, adds
// noise and cuts sends short. A receive stores exactly the data sent (padded to its last block)
// or fails; one without damage never fails. The mode is CRC to a sender answering 'C' within the
// first five, checksum to a checksum-only sender and to any sender starting after them.
TEST_F(XmodemTest, ReceiveSearch)
{
    const uint32_t seed = 8541;
    std::mt19937 rng(seed);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    int failed = 0, runs = 160, checksumLate = 0, crcLate = 0;
    for (int run = 0; run < runs; ++run) {
        Sender s;
        std::string want, data = textcheck::noise(size_t(pick(1, 4000)), uint32_t(rng()));
        for (size_t at = 0; at < data.size();) {
            size_t size = pick(0, 1) ? 128 : 1024;
            s.pieces.push_back(data.substr(at, size));
            want += padded(s.pieces.back());
            at += size;
        }
        const char* commands[] = {"-cbrke out.bin", "-cbrk out.bin", "-cbrken out.bin", "-brke out.bin"};
        const std::string command = commands[pick(0, 3)];
        const bool askCrc = command[1] == 'c';
        s.nakOnly = pick(0, 3) == 0;
        const int start = pick(0, 2);
        s.startTick = vx::tickGet() + uint32_t(start == 0 ? 0 : start == 1 ? pick(300, 1000) : pick(1800, 4000));
        std::map<size_t, int> faults; // send attempt -> kind of damage
        for (int k = pick(0, 1) ? pick(1, 4) : 0; k > 0; --k) faults[size_t(pick(0, int(s.pieces.size()) + 2))] = pick(0, 5);
        s.mangle = [&](size_t, size_t attempt, std::string f) {
            auto it = faults.find(attempt);
            if (it == faults.end() || f.size() < 2) return f;
            size_t at = size_t(pick(0, int(f.size()) - 1));
            switch (it->second) {
            case 0: f[at] = char(f[at] ^ (1 << pick(0, 7))); break;
            case 1: f.erase(at, 1); break;
            case 2: f.erase(0, 1); break;                                  // start character lost
            case 3: f = textcheck::noise(size_t(pick(1, 9)), at) + f; break; // line noise first
            case 4: f.resize(at); break;                                   // cut short
            default: break;                                                // the ACK is lost below
            }
            return f;
        };
        s.loseAck = [&](size_t ack) { return faults.count(ack) && faults[ack] == 5; };
        s.attach(peer());
        SCOPED_TRACE(::testing::Message() << "seed " << seed << " run " << run << ": " << command << ", pieces "
                                          << s.pieces.size() << ", nakOnly " << s.nakOnly << ", start " << start
                                          << ", faults (send, kind) " << ::testing::PrintToString(faults));

        const int rc = xmodem(command.c_str());
        if (rc == 0) {
            EXPECT_EQ(readHostFile("out.bin"), want);
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_FALSE(faults.empty()) << "a clean line never fails";
            ++failed;
        }
        ASSERT_TRUE(s.started);
        EXPECT_EQ(s.crc, askCrc && !s.nakOnly && start < 2) << s.replies;
        EXPECT_TRUE(start || !s.crc || faults.count(0) || s.replies.substr(0, 2) == "C" + sACK) << "no 'K' at once";
        checksumLate += askCrc && !s.crc;
        crcLate += s.crc && start > 0;
        EXPECT_TRUE(noFilesOpen());
        EXPECT_EQ(vx::ioctl(0, vx::FIOGETOPTIONS, 0), vx::OPT_TERMINAL);
        vx::remove("out.bin");
        takeOutput();
        if (HasFailure()) return;
    }
    EXPECT_LT(failed, runs / 10);
    EXPECT_GT(checksumLate, 30);
    EXPECT_GT(crcLate, 10);
}

// Cases the search reaches seldom or not at all, each with its exact answers
// (an empty transfer: the interop tests).
TEST_F(XmodemTest, ReceiveScripts)
{
    const std::string a = textcheck::noise(512, 4), sec = '\xFF' + std::string(127, '\0');
    struct Row {
        const char *what, *command;
        std::vector<std::string> sends;
        int damaged, times, dropByte, rc; // the first `times` attempts of each send from `damaged` on lose byte dropByte
        const char* text;
        std::string file, replies;
    } rows[] = {
        {"ten bad blocks", "-cbrke out.bin", {frame(1, "a"), frame(2, "b")}, 1, 10, 10, -1,
         "ABORTED -- Too Many Errors -- Deleting File", "", "C" + sACK + std::string(9, NAK)},
        {"nine bad blocks, twice", "-cbrke out.bin", {frame(1, "a"), frame(2, "b"), frame(3, "c")}, 1, 9, 10, 0, "",
         padded("a") + padded("b") + padded("c"),
         "C" + sACK + std::string(9, NAK) + sACK + std::string(9, NAK) + sACK + sACK},
        {"59 bad starts", "-cbrke out.bin", {frame(1, "a")}, 0, 59, 1, 0, "", padded("a"), ""},
        {"60 bad starts", "-cbrke out.bin", {frame(1, "a")}, 0, 60, 1, -1,
         "ABORTED -- Remote system is not responding", "", ""},
        // Block 2's first data byte (0xFF) lost: its checksum 0xFF ends the
        // data and the missing check byte would count as the same sum.
        {"check byte never comes", "-brke out.bin", {frame(1, a.substr(0, 128), false), frame(2, sec, false)}, 1, 1, 3,
         0, "", a.substr(0, 128) + sec, sNAK + sACK + sNAK + sACK + sACK},
        // Block 4's start character lost: its number 0x04 is no EOT.
        {"EOT inside the data", "-cbrke out.bin",
         {frame(1, a.substr(0, 128)), frame(2, a.substr(128, 128)), frame(3, a.substr(256, 128)), frame(4, a.substr(384))},
         3, 1, 0, 0, "", a, "C" + sACK + sACK + sACK + sNAK + sACK + sACK},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        takeOutput();
        Sender s;
        s.raw = r.sends;
        std::map<size_t, int> tries;
        s.mangle = [&](size_t i, size_t, std::string f) {
            if (int(i) >= r.damaged && i < r.sends.size() && tries[i]++ < r.times) f.erase(size_t(r.dropByte), 1);
            return f;
        };
        s.attach(peer());
        EXPECT_EQ(xmodem(r.command), r.rc);
        EXPECT_TRUE(saw(r.text));
        EXPECT_EQ(hostFileExists("out.bin") ? readHostFile("out.bin") : "", r.file);
        // A failed receive may say more after its NAKs.
        EXPECT_EQ(r.replies.empty() || r.rc != 0 ? s.replies.substr(0, r.replies.size()) : s.replies, r.replies);
        EXPECT_EQ(textcheck::count(r.replies.empty() ? "" : s.replies, sNAK), textcheck::count(r.replies, sNAK));
        vx::remove("out.bin");
    }

    // No sender at all: ten timeouts (55 s of waits, the 'K' offers and the
    // pauses around) end the receive, the last five with NAK.
    takeOutput();
    peer().onOutput = nullptr, peer().onIdle = nullptr; // the last row's sender is gone
    const uint32_t t0 = vx::tickGet();
    EXPECT_EQ(xmodem("-cbrke out.bin"), -1);
    EXPECT_TRUE(saw("ABORTED -- Remote system is not sending file"));
    EXPECT_EQ(textcheck::count(takeOutput(), sNAK), 5u);
    EXPECT_FALSE(hostFileExists("out.bin"));
    EXPECT_EQ((vx::tickGet() - t0) / 100 / 4, 15u); // 60 to 63 s
}

// Batch names: an unnamed receive takes the file's name from a MODEM7 name
// exchange; a named one ignores a YMODEM name, keeps the first file only, and
// a YMODEM header followed by a cancelled MODEM7 name leaves no file open.
TEST_F(XmodemTest, BatchNames)
{
    const std::string name = "README  TXT", data = textcheck::noise(1000, 7);
    int phase = 0;
    size_t i = 0;
    peer().onIdle = [](host::ScriptedPeer&) { return false; };
    peer().onOutput = [&](host::ScriptedPeer& p, const std::string& o) {
        const char c = o.size() == 1 ? o[0] : 0;
        if (phase == 0 && (c == 'C' || c == NAK)) p.type(sACK + name[i++]), phase = 1;
        else if (phase == 1 && c == ACK && i < name.size()) p.type(std::string(1, name[i++]));
        else if (phase == 1 && c == ACK) p.type("\x1A"), phase = 2;
        else if (phase == 2 && c) p.type(sACK), phase = 3; // the name's checksum is right
        else if (phase == 3 && (c == 'C' || c == NAK)) p.type(frame(1, "m7", c == 'C')), phase = 4;
        else if ((phase == 4 && c == ACK) || (phase == 5 && c == NAK)) p.type(sEOT), phase = 5;
        else if (phase == 5 && c == ACK) phase = 6;
        else if (phase == 6 && (c == 'C' || c == NAK)) p.type(sACK + sEOT), phase = 7; // no more names
    };
    EXPECT_EQ(xmodem("rb"), 0);
    EXPECT_EQ(phase, 7);
    EXPECT_EQ(readHostFile("readme.txt"), padded("m7"));

    Sender s;
    s.raw = {ymodemHeader("boot.dim", "1000 0 100644 0 2 1010"), frame(1, data), sEOT, ymodemHeader("image1", "10")};
    // The header is sent twice (the answer to it was not seen).
    s.mangle = [](size_t n, size_t attempt, std::string f) { return n == 0 && attempt == 0 ? f + f : f; };
    s.attach(peer());
    writeHostFile("boot.dim", "keep");
    EXPECT_EQ(xmodem("-cbrke out.bin"), 0);
    EXPECT_EQ(readHostFile("out.bin"), data); // the exact length
    EXPECT_EQ(readHostFile("boot.dim"), "keep");
    EXPECT_FALSE(hostFileExists("image1"));
    EXPECT_TRUE(saw("refused"));
    EXPECT_TRUE(noFilesOpen()); // the repeated header opened nothing more

    Sender m;
    m.raw = {ymodemHeader("x.bin", "10"), std::string{ACK, CAN, CAN}};
    m.attach(peer());
    EXPECT_EQ(xmodem("-cbrke out2.bin"), -1);
    EXPECT_TRUE(saw("Program Canceled by CAN-CAN"));
    EXPECT_FALSE(hostFileExists("out2.bin"));
    EXPECT_TRUE(noFilesOpen());
}

TEST_F(XmodemTest, ConsoleGoneEndsTheTransfer)
{
    // The far end goes away in the middle of block 2: reads fail from then on.
    std::string data = textcheck::noise(256, 3);
    Sender s;
    s.pieces = {data.substr(0, 128), data.substr(128)};
    s.mangle = [](size_t n, size_t, std::string f) { return n == 1 ? (host::consoleShutdown(), f.substr(0, 60)) : f; };
    s.attach(peer());
    EXPECT_EQ(xmodem("-cbrke out.bin"), -1);
    EXPECT_EQ(readHostFile("out.bin"), data.substr(0, 128)); // what came stays, as after ten timeouts
    EXPECT_TRUE(noFilesOpen());
}

// A receiver as lrzsz's rx: 'C' to start, an ACK for each block, a NAK after
// 10 s without one; it empties its input for flushNs after each ACK (a block
// arriving then is lost), and two CANs in a row stop it for good.
struct Receiver {
    uint64_t flushNs = 0, ackNs = 0;
    size_t nakFrom = SIZE_MAX, blocks = 0, lost = 0, cans = 0, eots = 0, frameSize = 0;
    char start = 'C';
    bool answerEot = true, started = false, done = false, cancelled = false;
    uint32_t lastTick = 0;
    void answer(host::ScriptedPeer& p, char c) { p.type(std::string(1, c)), lastTick = vx::tickGet(); }
    void attach(host::ScriptedPeer& peer)
    {
        peer.onIdle = [this](host::ScriptedPeer& p) {
            if (done || cancelled) return false;
            if (!started || vx::tickGet() - lastTick >= 1000) answer(p, started ? NAK : start);
            started = true;
            return true;
        };
        peer.onOutput = [this](host::ScriptedPeer& p, const std::string& out) {
            for (char c : out) cans = c == CAN ? cans + 1 : 0, cancelled = cancelled || cans >= 2;
            if (cancelled || done) return;
            if (host::clockNowNs() - ackNs < flushNs) return void(++lost);
            eots += out == sEOT;
            if (out == sEOT && answerEot) answer(p, ACK), done = true;
            if ((out[0] != SOH && out[0] != STX) || out.size() < 132) return;
            frameSize = out.size();
            if (blocks >= nakFrom) return answer(p, NAK);
            blocks += uint8_t(out[1]) == uint8_t(blocks + 1);
            answer(p, ACK);
            ackNs = host::clockNowNs();
        };
    }
};

// However a transfer ends (a failure, or a peer that talks on after the end), the peer has been
// told to stop and the line is quiet when the command returns: nothing the peer sends reaches the
// menu. The senders retransmit as sx does and send menu lines; a seed picks where each fault hits.
// (A full disk, the kill signal, a silent peer and a second file: the transfer fault search.)
TEST_F(XmodemTest, TransferEndStopsThePeer)
{
    const uint32_t seed = 2718;
    std::mt19937 rng(seed);
    std::string lines;
    while (lines.size() < 8 * 1024) lines += "10\r30\r11\r8\ry\r";
    lines.resize(8 * 1024);
    enum Fault { Phase, EotAgain, SendNaks, EotUnanswered, RxFlush };
    const struct Row { Fault fault; int rc; const char* text; } rows[] = {
        {Phase, -1, "ABORTED -- Too Many Errors -- Deleting File"},
        {EotAgain, 0, ""}, // the answer to the EOT is lost: the sender asks again
        {SendNaks, -1, "Too many errors in transmission"},
        {EotUnanswered, -1, "Remote System Not Responding on Completion"},
        {RxFlush, 0, ""}, // a pseudo-terminal: rx empties its input right after each ACK
    };
    writeHostFile("log.bin", lines);
    for (const Row& r : rows) {
        for (int run = 0; run < 2; ++run) {
            const size_t at = size_t(std::uniform_int_distribution<int>(1, 7)(rng)); // the block the fault hits
            SCOPED_TRACE(::testing::Message() << "seed " << seed << ": fault " << r.fault << " at block " << at);
            takeOutput();
            const uint32_t t0 = vx::tickGet();
            Receiver rx;
            Sender s;
            if (r.fault >= SendNaks) {
                rx.answerEot = r.fault != EotUnanswered;
                rx.start = r.fault == EotUnanswered ? NAK : 'C';
                rx.nakFrom = r.fault == SendNaks ? at : SIZE_MAX;
                rx.flushNs = 1000000;
                rx.attach(peer());
                EXPECT_EQ(xmodem("cbske log.bin"), r.rc);
                EXPECT_TRUE(r.rc || rx.blocks == 8u);
                EXPECT_EQ(rx.lost, 0u) << "sent while the receiver empties its input";
                EXPECT_EQ(rx.cancelled, r.rc != 0) << "the receiver was told to stop";
                EXPECT_EQ(rx.frameSize, r.fault == EotUnanswered ? 1028u : 1029u) << "checksum blocks for a NAK";
                EXPECT_EQ(rx.eots, r.fault == EotUnanswered ? 11u : r.rc ? 0u : 1u);
                EXPECT_TRUE(saw("Estimated File Size 9K, 65 Sectors, 8192 Bytes\n\r"));
            } else {
                for (size_t i = 0; i < 8; ++i) s.pieces.push_back(lines.substr(i * 1024, 1024));
                s.retryTicks = r.fault == EotAgain ? 150 : 1000;
                s.loseAck = [&](size_t n) { return r.fault == EotAgain && n == 8; };
                s.mangle = [&](size_t n, size_t, std::string f) { return n >= at && r.fault == Phase ? frame(int(n) + 2, "") : f; };
                s.attach(peer());
                EXPECT_EQ(xmodem("-cbrke out.bin"), r.rc);
                EXPECT_EQ(s.cancelled, r.rc != 0) << "the sender was told to stop";
                EXPECT_TRUE(s.done()) << "the sender still talks";
                EXPECT_EQ(hostFileExists("out.bin") ? readHostFile("out.bin") : "", r.rc == 0 ? lines : "");
                vx::remove("out.bin");
            }
            EXPECT_TRUE(saw(r.text));
            EXPECT_EQ(vx::selectStdin(0, 0), 0) << "input left for the menu";
            EXPECT_EQ(vx::ioctl(0, vx::FIOGETOPTIONS, 0), vx::OPT_TERMINAL);
            EXPECT_EQ(vx::signal(vx::SIG_TERM, nullptr), nullptr); // its handler is gone again
            EXPECT_TRUE(noFilesOpen());
            EXPECT_LE(vx::tickGet() - t0, 100u * (r.fault == EotUnanswered ? 240 : 120));
            if (HasFailure()) return;
        }
    }
}

// ---- diagnostics image load: the stored image is replaced only when the new one is there ---

TEST_F(XmodemTest, DiagLoad)
{
    // Power lost after the old image was set aside, before the new one had
    // its name: the old one is the diagnostics image again; lost after the
    // new one had its name: the set-aside copy goes.
    writeHostFile("diag_image.old", "old image");
    imageDiagReplaceComplete();
    EXPECT_EQ(readHostFile("diag_image.stk"), "old image");
    writeHostFile("diag_image.old", "older");
    imageDiagReplaceComplete();
    EXPECT_EQ(readHostFile("diag_image.stk"), "old image");
    EXPECT_FALSE(hostFileExists("diag_image.old"));

    for (const char* sent : {"new image", "", "third", "full disk"}) {
        Sender s;
        s.pieces = {sent};
        if (*sent == 'f') fillDisk();
        s.attach(peer());
        if (!*sent) peer().onOutput = nullptr; // a failed transfer
        if (*sent == 't') { // the rename cannot be done: the keep name is a directory
            ASSERT_EQ(vx::mkdir("diag_image.old") | vx::mkdir("diag_image.old/x"), 0);
        }
        EXPECT_EQ(imageDiagLoad(0x00508541), *sent == 'n' ? 0 : 1) << sent;
        EXPECT_EQ(readHostFile("diag_image.stk").substr(0, 9), "new image");
        EXPECT_FALSE(hostFileExists("xcode.bin"));
    }
    EXPECT_TRUE(saw("File Write Error"));
    EXPECT_TRUE(saw("ERROR: The flash disk is full: the file could not be stored.\n"
                    "Error while receiving file with XMODEM.\n"));
    EXPECT_TRUE(saw("ERROR: Renaming failed.\n"));
}

} // namespace
