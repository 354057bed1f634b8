// xmodem_test.cpp - the transfer command and its engines against scripted
// senders and receivers on the virtual clock; the diagnostics image load.
#include "osapi.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "host/os/hostos.h"
#include "image/imageLoad.h"
#include "support/testBoard.h"
#include "xmodem/xmodem.h"
#include "xmodem/xmodemInt.h"

namespace {

constexpr char SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;

// CRC-16/XMODEM bit by bit, independent of the engine's table.
uint16_t crcBits(const std::string& d)
{
    uint16_t crc = 0;
    for (unsigned char c : d) {
        crc ^= uint16_t(c << 8);
        for (int i = 0; i < 8; ++i) crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

std::string frame(int number, std::string data, bool crc = true)
{
    size_t size = data.size() <= 128 ? 128 : 1024;
    data.resize(size, '\x1A');
    std::string f;
    f += size == 128 ? SOH : STX;
    f += char(number & 0xFF);
    f += char(255 - (number & 0xFF));
    f += data;
    if (crc) {
        uint16_t c = crcBits(data);
        f += char(c >> 8);
        f += char(c & 0xFF);
    } else {
        unsigned sum = 0;
        for (unsigned char c : data) sum += c;
        f += char(sum & 0xFF);
    }
    return f;
}

std::string allBytes(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 7 + i / 256) & 0xFF);
    return s;
}

// A sender on the far end: answers the board's single-byte protocol replies
// (announcements are longer writes) with the next of its scripted sends.
struct ScriptedSender {
    std::vector<std::string> sends; // frames, then EOTs are added as needed
    size_t next = 0;
    bool started = false;
    std::string replies;            // the board's protocol bytes, in order
    // Called before each send with its index; may return a replacement.
    std::function<std::string(size_t, const std::string&)> mangle;
    std::function<void(size_t)> onAck;

    void attach(host::ScriptedPeer& p)
    {
        p.onIdle = [](host::ScriptedPeer&) { return false; };
        p.onOutput = [this](host::ScriptedPeer& peer, const std::string& out) {
            if (out.size() != 1) return;
            const char c = out[0];
            replies += c;
            if (!started) {
                if (c != 'C' && c != NAK) return;
                started = true;
                send(peer);
                return;
            }
            if (c == ACK) {
                if (onAck) onAck(next);
                ++next;
                send(peer);
            } else if (c == NAK || c == 'C') {
                send(peer);
            }
        };
    }
    void send(host::ScriptedPeer& peer)
    {
        std::string s = next < sends.size() ? sends[next] : std::string(1, EOT);
        if (next > sends.size() + 3) return; // finished: stay silent
        if (mangle) s = mangle(next, s);
        peer.type(s);
    }
};

class XmodemTest : public TestBoard {
protected:
    // The console maps each new-line to CR LF outside raw mode.
    std::string out()
    {
        std::string o, raw = peer().output();
        for (size_t i = 0; i < raw.size(); ++i)
            if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) o += raw[i];
        return o;
    }
    std::string take()
    {
        std::string o = out();
        takeOutput();
        return o;
    }
    bool saw(const std::string& text) { return out().find(text) != std::string::npos; }
    // Descriptors are handed out lowest first: a new file gets the first one
    // only when the transfer left none open.
    bool noFilesOpen()
    {
        int fd = vx::open("fd.probe", vx::CREAT | vx::RDWR, 0);
        vx::close(fd);
        vx::remove("fd.probe");
        return fd == 3;
    }
};

// ---- framing, labels, names ----------------------------------------------------------

TEST_F(XmodemTest, ChecksAndBlocks)
{
    EXPECT_EQ(xm::checksum8(reinterpret_cast<const uint8_t*>("abc"), 3), 0x26);
    std::string data = allBytes(1024);
    EXPECT_EQ(xm::crc16(reinterpret_cast<const uint8_t*>(data.data()), data.size()), crcBits(data));

    uint8_t pad[128], f[xm::FRAME_MAX];
    std::fill(pad, pad + 128, 0x1A);
    ASSERT_EQ(xm::build_block(f, 1, pad, 128, false), 132);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(f), 3), std::string("\x01\x01\xFE", 3));
    EXPECT_EQ(f[131], 0x00);
    xm::build_block(f, 255, pad, 128, true);
    EXPECT_EQ(f[1], 0xFF);
    EXPECT_EQ(f[2], 0x00);
    EXPECT_EQ(xm::build_block(f, 256, pad, 128, true), 133);
    EXPECT_EQ(f[1], 0x00);
    EXPECT_EQ(f[2], 0xFF);

    EXPECT_STREQ(xm::sector_label(0, 1024, true), "1-8");
    EXPECT_STREQ(xm::sector_label(8, 1024, false), "1-8");
    EXPECT_STREQ(xm::sector_label(0, 128, true), "1");
    EXPECT_STREQ(xm::sector_label(0, 1024, false), "0");
}

TEST_F(XmodemTest, ReceiveTypeConversions)
{
    xm::opt = xm::Options{};
    xm::ymodem_length_known = false;
    xm::RxBlockState st{true, true, false, false, 0};
    std::string in = std::string("ab\r\n\x1A", 5) + std::string(123, '\x1A');
    uint8_t kept[1024];
    int n = 0;
    xm::rx_accept(st, reinterpret_cast<const uint8_t*>(in.data()), int(in.size()), kept, &n);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(kept), size_t(n)), "ab\n");

    // A YMODEM length of 130: the second block keeps two bytes.
    xm::ymodem_length = 130;
    xm::ymodem_length_known = true;
    xm::bytes_received = 128;
    xm::RxBlockState bin{true, false, false, false, 0};
    n = 0;
    std::string block = allBytes(128);
    xm::rx_accept(bin, reinterpret_cast<const uint8_t*>(block.data()), 128, kept, &n);
    EXPECT_EQ(n, 2);
    xm::ymodem_length_known = false;
}

TEST_F(XmodemTest, BatchNames)
{
    xm::modem7_name_out("dir/asciilog.bin");
    EXPECT_STREQ(xm::transfer_name, "ASCIILOGBIN");
    xm::modem7_name_out("xcode.bin");
    EXPECT_STREQ(xm::transfer_name, "XCODE   BIN");
    xm::modem7_name_out(".profile");
    EXPECT_STREQ(xm::transfer_name, "PROFILE    ");
    xm::modem7_name_out("a.b.c");
    EXPECT_STREQ(xm::transfer_name, "A       B  ");
    xm::modem7_name_in(reinterpret_cast<const uint8_t*>("XCODE   BIN"));
    EXPECT_STREQ(xm::transfer_name, "xcode.bin");
    xm::modem7_name_in(reinterpret_cast<const uint8_t*>("README     "));
    EXPECT_STREQ(xm::transfer_name, "readme");
    const uint8_t nullName[11] = {0};
    EXPECT_EQ(xm::modem7_name_in(nullName), -1);

    char name[32] = "Dir/File.";
    xm::ymodem_name_in(name);
    EXPECT_STREQ(name, "dir:file");
    xm::ymodem_name_out("/DskVol/files/Log:A.TXT");
    EXPECT_STREQ(xm::transfer_name, "log/a.txt");
    EXPECT_FALSE(xm::name_is_local(".."));
    EXPECT_FALSE(xm::name_is_local("a\\b"));
    EXPECT_TRUE(xm::name_is_local("image1"));

    uint8_t data[1024];
    xm::ymodem_files_left = 1;
    xm::ymodem_bytes_left = 300;
    EXPECT_EQ(xm::ymodem_header_build(data, "f.bin", 300, 8, 0100644), 128);
    EXPECT_STREQ(reinterpret_cast<char*>(data), "f.bin");
    EXPECT_STREQ(reinterpret_cast<char*>(data) + 6, "300 10 100644 0 1 300 0");
    EXPECT_EQ(data[126], 3);
    EXPECT_EQ(data[127], 0);
    EXPECT_EQ(xm::ymodem_files_left, 0);
    EXPECT_EQ(xm::ymodem_bytes_left, 0);

    xm::YmodemHeader h;
    xm::ymodem_header_numbers("1234", h);
    EXPECT_EQ(h.length, 1234);
    EXPECT_EQ(h.mtime, 0u);
    xm::ymodem_header_numbers("10 17 644 0 3 99 0", h);
    EXPECT_EQ(h.mtime, 15u);
    EXPECT_EQ(h.filesLeft, 3);
}

TEST_F(XmodemTest, TimeEstimateAndSpeed)
{
    line_speed = 9600;
    xm::opt = xm::Options{};
    takeOutput();
    xm::print_time_estimate(100, false);
    EXPECT_EQ(take(), "Estimated transmission time 15 seconds \n\r");
    xm::print_time_estimate(1, false);
    EXPECT_EQ(take(), "Estimated transmission time 1 second  \n\r");
    xm::print_transfer_stats(5, 0, false);
    EXPECT_EQ(take(), "5 Sectors Transfered in 0 seconds\n\r");
}

// ---- the command's checks ----------------------------------------------------------------

TEST_F(XmodemTest, CommandChecksFailBeforeTheLine)
{
    const int before = vx::ioctl(0, vx::FIOGETOPTIONS, 0);
    EXPECT_EQ(xmodem(""), -1);
    EXPECT_TRUE(saw("Usage:  \txmodem "));
    EXPECT_EQ(xmodem("-"), -1);
    EXPECT_TRUE(saw("\r\nXMODEM Fatal Error - Either Send or Receive Function must be chosen!\n\r"));
    EXPECT_EQ(xmodem("rs f"), -1);
    EXPECT_TRUE(saw("XMODEM Fatal Error- Both Send and Receive Functions Specified"));
    EXPECT_EQ(xmodem("rgm"), -1);
    EXPECT_TRUE(saw("XMODEM Fatal Error - Both YMODEM and MODEM7 Batch Protocols Specified"));
    EXPECT_EQ(xmodem("S"), -1);
    EXPECT_TRUE(saw("XMODEM Fatal Error - No file specified to send"));
    writeHostFile("empty", "");
    takeOutput();
    EXPECT_EQ(xmodem("cbske empty"), -1);
    EXPECT_EQ(take(), "\r\nRequested file size is 0\n\r");
    EXPECT_EQ(vx::ioctl(0, vx::FIOGETOPTIONS, 0), before); // the trap bit is back

    std::string longText = "-cbrke " + std::string(80, 'x');
    EXPECT_EQ(xmodem(longText.c_str()), -1);
    EXPECT_TRUE(saw("Command text too long"));
    std::string manyWords = "rb";
    for (int i = 0; i < 18; ++i) manyWords += " f";
    EXPECT_EQ(xmodem(manyWords.c_str()), -1);
    EXPECT_TRUE(saw("Too many words"));
}

// ---- receiving -------------------------------------------------------------------------------

TEST_F(XmodemTest, ReceivesEveryByteValueIn128And1KBlocks)
{
    std::string data = allBytes(1024 + 128 + 1024 + 5);
    ScriptedSender s;
    s.sends = {frame(1, data.substr(0, 1024)), frame(2, data.substr(1024, 128)), frame(3, data.substr(1152, 1024)),
               frame(4, data.substr(2176))};
    s.attach(peer());
    EXPECT_EQ(xmodem("-cbrke out.bin"), 0);
    std::string want = data + std::string(123, '\x1A'); // XMODEM carries no length
    EXPECT_EQ(readHostFile("out.bin"), want);
    // A sender that answers at once never sees 'K': it would take it for an answer.
    EXPECT_EQ(s.replies.substr(0, 2), std::string("C") + ACK);
    EXPECT_EQ(vx::ioctl(0, vx::FIOGETOPTIONS, 0), vx::OPT_TERMINAL); // restored as it was
}

TEST_F(XmodemTest, SilentSenderIsOffered1KAndTimesOutAfterTenWaits)
{
    peer().onIdle = [](host::ScriptedPeer&) { return false; };
    const uint32_t t0 = vx::tickGet();
    EXPECT_EQ(xmodem("-cbrke out.bin"), -1);
    const uint32_t seconds = (vx::tickGet() - t0) / 100;
    std::string o = out();
    EXPECT_NE(o.find("CK"), std::string::npos);
    EXPECT_NE(o.find("ABORTED -- Remote system is not sending file"), std::string::npos);
    EXPECT_FALSE(hostFileExists("out.bin"));
    // 55 s of waits, the 'K' offers, and the pauses before and after.
    EXPECT_GE(seconds, 55u + 5u);
    EXPECT_LE(seconds, 55u + 5u + 3u);
}

TEST_F(XmodemTest, DuplicateAndDamagedBlocksAreRecovered)
{
    std::string data = allBytes(384);
    ScriptedSender s;
    // Block 1 again (its ACK was lost), then block 2 damaged on its first try.
    s.sends = {frame(1, data.substr(0, 128)), frame(1, data.substr(0, 128)), frame(2, data.substr(128, 128)),
               frame(3, data.substr(256))};
    int tries = 0;
    s.mangle = [&](size_t i, const std::string& f) {
        if (i != 2 || tries++ > 0) return f;
        std::string bad = f;
        bad[50] ^= 0x40;
        return bad;
    };
    s.attach(peer());
    EXPECT_EQ(xmodem("-cbrke out.bin"), 0);
    EXPECT_EQ(readHostFile("out.bin"), data);
    EXPECT_EQ(s.replies, std::string("C") + ACK + ACK + NAK + ACK + ACK + ACK);
}

TEST_F(XmodemTest, PhaseErrorAndCanCanDeleteThePartialFile)
{
    ScriptedSender s;
    s.sends = {frame(1, "a"), frame(3, "c")};
    s.attach(peer());
    EXPECT_EQ(xmodem("-cbrke out.bin"), -1);
    EXPECT_NE(out().find(std::string(5, CAN)), std::string::npos);
    EXPECT_TRUE(saw("ABORTED -- Too Many Errors -- Deleting File"));
    EXPECT_FALSE(hostFileExists("out.bin"));

    takeOutput();
    ScriptedSender c;
    c.sends = {frame(1, "a"), std::string(2, CAN)};
    c.attach(peer());
    EXPECT_EQ(xmodem("-cbrken out.bin"), -1); // n: CAN-CAN counts after the first block
    EXPECT_TRUE(saw("Reception Canceled by CAN-CAN; partial file deleted"));
    EXPECT_FALSE(hostFileExists("out.bin"));
}

TEST_F(XmodemTest, TenBadBlocksAbort)
{
    ScriptedSender s;
    s.sends = {frame(1, "a"), frame(2, "b")};
    s.mangle = [](size_t i, const std::string& f) {
        if (i != 1) return f;
        std::string bad = f;
        bad[10] ^= 1;
        return bad;
    };
    s.attach(peer());
    EXPECT_EQ(xmodem("-cbrke out.bin"), -1);
    EXPECT_TRUE(saw("ABORTED -- Too Many Errors -- Deleting File"));
}

TEST_F(XmodemTest, EotInsideTheDataIsConfirmedNotTaken)
{
    // Block 4's start character is lost: its number, 0x04, is met first and
    // the rest of the block follows at once.
    std::string data = allBytes(512);
    ScriptedSender s;
    for (int i = 0; i < 4; ++i) s.sends.push_back(frame(i + 1, data.substr(size_t(i) * 128, 128)));
    int tries = 0;
    s.mangle = [&](size_t i, const std::string& f) { return (i == 3 && tries++ == 0) ? f.substr(1) : f; };
    s.attach(peer());
    EXPECT_EQ(xmodem("-cbrke out.bin"), 0);
    EXPECT_EQ(readHostFile("out.bin"), data);
    EXPECT_NE(s.replies.find(NAK), std::string::npos);

    // A real EOT on a quiet line is taken at once with e, and confirmed without.
    takeOutput();
    ScriptedSender e;
    e.sends = {frame(1, "x")};
    e.attach(peer());
    EXPECT_EQ(xmodem("-cbrk out.bin"), 0);
    EXPECT_EQ(e.replies, std::string("C") + ACK + NAK + ACK);
}

TEST_F(XmodemTest, BlockShortOfAByteIsRefusedEvenWhenItsCheckMatches)
{
    // Block 2's first data byte (0xFF) is lost: its checksum byte 0xFF then
    // ends the data, the check byte never comes and counts as 0xFF - the same
    // sum. The block must still be refused and sent again.
    std::string second = '\xFF' + std::string(127, '\0');
    std::string data = allBytes(128) + second;
    ScriptedSender s;
    s.sends = {frame(1, data.substr(0, 128), false), frame(2, second, false)};
    int tries = 0;
    s.mangle = [&](size_t i, const std::string& f) { return (i == 1 && tries++ == 0) ? f.substr(0, 3) + f.substr(4) : f; };
    s.attach(peer());
    EXPECT_EQ(xmodem("-brke out.bin"), 0);
    EXPECT_EQ(readHostFile("out.bin"), data);
    EXPECT_EQ(s.replies, std::string(1, NAK) + ACK + NAK + ACK + ACK);
}

TEST_F(XmodemTest, ConsoleGoneEndsTheTransfer)
{
    // The far end goes away in the middle of block 2: reads fail from then on.
    std::string data = allBytes(256);
    std::string second = frame(2, data.substr(128));
    peer().onIdle = [](host::ScriptedPeer&) { return false; };
    peer().onOutput = [&](host::ScriptedPeer& p, const std::string& o) {
        if (o == "C") p.type(frame(1, data.substr(0, 128)));
        if (o == std::string(1, ACK)) {
            p.type(second.substr(0, 60));
            p.onOutput = nullptr;
            host::consoleShutdown();
        }
    };
    EXPECT_EQ(xmodem("-cbrke out.bin"), -1);
    EXPECT_EQ(readHostFile("out.bin"), data.substr(0, 128)); // what came stays, as after ten timeouts
    EXPECT_TRUE(noFilesOpen());

    // Sending: the receiver goes away after the first block.
    host::consoleInitScripted(&peer());
    writeHostFile("f.bin", allBytes(3000));
    peer().onIdle = [](host::ScriptedPeer& p) {
        p.type("C");
        p.onIdle = [](host::ScriptedPeer&) { return false; };
        return true;
    };
    peer().onOutput = [](host::ScriptedPeer& p, const std::string& o) {
        if (o.size() > 1000) {
            p.onOutput = nullptr;
            host::consoleShutdown();
        }
    };
    EXPECT_EQ(xmodem("cbske f.bin"), -1);
    EXPECT_TRUE(noFilesOpen());
}

TEST_F(XmodemTest, EotBeforeAnyBlockCreatesNoFile)
{
    ScriptedSender s;
    s.attach(peer());
    EXPECT_EQ(xmodem("-cbrke out.bin"), 0);
    EXPECT_FALSE(hostFileExists("out.bin"));
}

std::string ymodemHeader(const std::string& name, const std::string& numbers)
{
    std::string d = name + '\0' + numbers;
    return frame(0, d + std::string(128 - d.size(), '\0'));
}

TEST_F(XmodemTest, NamedReceiveIgnoresYmodemNamesAndRefusesMoreFiles)
{
    std::string data = allBytes(1000);
    ScriptedSender s;
    s.sends = {ymodemHeader("boot.dim", "1000 0 100644 0 2 1010"), frame(1, data), std::string(1, EOT),
               ymodemHeader("image1", "10 0 100644")};
    // The header is sent twice (the answer to it was not seen).
    int headers = 0;
    s.mangle = [&](size_t i, const std::string& f) { return (i == 0 && headers++ == 0) ? f + f : f; };
    s.attach(peer());
    writeHostFile("boot.dim", "keep");
    EXPECT_EQ(xmodem("-cbrke out.bin"), 0);
    EXPECT_EQ(readHostFile("out.bin"), data); // the exact length
    EXPECT_EQ(readHostFile("boot.dim"), "keep");
    EXPECT_FALSE(hostFileExists("image1"));
    EXPECT_TRUE(saw("refused"));
    EXPECT_TRUE(noFilesOpen()); // the repeated header opened nothing more

    // A header, then a sender that turns to a MODEM7 name and cancels it: the
    // file the header opened goes, its descriptor with it.
    takeOutput();
    ScriptedSender m;
    m.sends = {ymodemHeader("x.bin", "10"), std::string{ACK, CAN, CAN}};
    m.attach(peer());
    EXPECT_EQ(xmodem("-cbrke out2.bin"), -1);
    EXPECT_TRUE(saw("Program Canceled by CAN-CAN"));
    EXPECT_FALSE(hostFileExists("out2.bin"));
    EXPECT_TRUE(noFilesOpen());
}

TEST_F(XmodemTest, BatchReceiveUsesSenderNamesInThisDirectory)
{
    ScriptedSender s;
    s.sends = {ymodemHeader("Sub/Notes.TXT", "3"), frame(1, "abc"), std::string(1, EOT), ymodemHeader("", "")};
    s.attach(peer());
    EXPECT_EQ(xmodem("rb"), -1); // "sub:notes.txt" is not a name the disk takes
    EXPECT_TRUE(saw("Can't create file for receive"));

    takeOutput();
    ScriptedSender t;
    t.sends = {ymodemHeader("Notes.TXT", "3"), frame(1, "abc"), std::string(1, EOT), ymodemHeader("", "")};
    t.attach(peer());
    EXPECT_EQ(xmodem("rb"), 0);
    EXPECT_EQ(readHostFile("notes.txt"), "abc");

    takeOutput();
    ScriptedSender u;
    u.sends = {ymodemHeader("..", "3")};
    u.attach(peer());
    EXPECT_EQ(xmodem("rb"), -1);
    EXPECT_TRUE(saw("Can't create file for receive"));
}

TEST_F(XmodemTest, TerminationSignalEndsTheTransfer)
{
    ScriptedSender s;
    s.sends = {frame(1, "a"), frame(2, "b"), frame(3, "c")};
    s.onAck = [](size_t i) {
        if (i == 1) host::signalRaiseFromHost(15);
    };
    s.attach(peer());
    EXPECT_EQ(xmodem("-cbrke out.bin"), -1);
    EXPECT_TRUE(saw("\r\nKill signal; bailing out\n\r"));
    EXPECT_FALSE(hostFileExists("out.bin"));
    EXPECT_EQ(vx::ioctl(0, vx::FIOGETOPTIONS, 0), vx::OPT_TERMINAL);
    EXPECT_EQ(vx::signal(vx::SIG_TERM, nullptr), nullptr); // its handler is gone again
}

// ---- sending ---------------------------------------------------------------------------------

// A receiver: solicits with start, answers every block (recording it).
struct ScriptedReceiver {
    std::string start = "C";
    std::vector<std::string> blocks;
    int eots = 0;
    int nakEots = 0;   // EOTs answered with NAK before the ACK
    int ackEot = true;

    void attach(host::ScriptedPeer& p)
    {
        p.onIdle = [this](host::ScriptedPeer& peer) {
            if (!start.empty()) {
                peer.type(start);
                start.clear();
                return true;
            }
            return false;
        };
        p.onOutput = [this](host::ScriptedPeer& peer, const std::string& out) {
            if (out.size() >= 132 && (out[0] == SOH || out[0] == STX)) {
                blocks.push_back(out);
                peer.type(std::string(1, ACK));
            } else if (out == std::string(1, EOT)) {
                ++eots;
                if (eots <= nakEots)
                    peer.type(std::string(1, NAK));
                else if (ackEot)
                    peer.type(std::string(1, ACK));
            }
        };
    }
};

TEST_F(XmodemTest, SendsWith1KBlocksAndATailOf128)
{
    std::string data = allBytes(2500);
    writeHostFile("f.bin", data);
    ScriptedReceiver r;
    r.nakEots = 1;
    r.attach(peer());
    EXPECT_EQ(xmodem("cbske f.bin"), 0);
    ASSERT_EQ(r.blocks.size(), 6u);
    std::string got;
    for (size_t i = 0; i < r.blocks.size(); ++i) {
        const std::string& b = r.blocks[i];
        size_t size = b[0] == STX ? 1024 : 128;
        EXPECT_EQ(size, i < 2 ? 1024u : 128u);
        EXPECT_EQ(uint8_t(b[1]), i + 1);
        std::string d = b.substr(3, size);
        EXPECT_EQ(uint16_t((uint8_t(b[3 + size]) << 8) | uint8_t(b[4 + size])), crcBits(d));
        got += d;
    }
    EXPECT_EQ(got, data + std::string(60, '\x1A'));
    EXPECT_FALSE(saw("EOT not ACKed"));
    EXPECT_TRUE(saw("Estimated File Size 3K, 20 Sectors, 2500 Bytes\n\r"));
}

TEST_F(XmodemTest, SendFailsWhenTheEotIsNeverAcknowledged)
{
    writeHostFile("f.bin", allBytes(128));
    ScriptedReceiver r;
    r.start = std::string(1, NAK);
    r.ackEot = false;
    r.attach(peer());
    EXPECT_EQ(xmodem("cbske f.bin"), -1);
    EXPECT_TRUE(saw("Remote System Not Responding on Completion"));
    ASSERT_EQ(r.blocks.size(), 1u);
    EXPECT_EQ(r.blocks[0].size(), 132u); // checksum blocks for a NAK receiver
    EXPECT_EQ(r.eots, 11);
}

// ---- diagnostics image load -------------------------------------------------------------------

TEST_F(XmodemTest, DiagLoadReplacesTheImageOnlyWhenTheNewOneIsThere)
{
    writeHostFile("diag_image.stk", "old image");
    ScriptedSender s;
    s.sends = {frame(1, "new image")};
    s.attach(peer());
    EXPECT_EQ(imageDiagLoad(0x00508541), 0);
    EXPECT_EQ(readHostFile("diag_image.stk").substr(0, 9), "new image");
    EXPECT_FALSE(hostFileExists("xcode.bin"));
    EXPECT_FALSE(hostFileExists("diag_image.old"));

    // A failed transfer leaves the stored image alone.
    peer().onOutput = nullptr;
    peer().onIdle = [](host::ScriptedPeer&) { return false; };
    takeOutput();
    EXPECT_EQ(imageDiagLoad(0x00508541), 1);
    EXPECT_TRUE(saw("Error while receiving file with XMODEM.\n"));
    EXPECT_EQ(readHostFile("diag_image.stk").substr(0, 9), "new image");

    // The rename cannot be done (the keep name is taken by a directory): the
    // stored image stays.
    ASSERT_EQ(vx::mkdir("diag_image.old"), 0);
    ASSERT_EQ(vx::mkdir("diag_image.old/x"), 0);
    takeOutput();
    ScriptedSender t;
    t.sends = {frame(1, "third")};
    t.attach(peer());
    EXPECT_EQ(imageDiagLoad(0x00508541), 1);
    EXPECT_TRUE(saw("ERROR: Renaming failed.\n"));
    EXPECT_EQ(readHostFile("diag_image.stk").substr(0, 9), "new image");
    EXPECT_FALSE(hostFileExists("xcode.bin"));
}

TEST_F(XmodemTest, DiagReplaceCutShortIsCompletedAtStartUp)
{
    // Power lost after the old image was set aside, before the new one had
    // its name: the old one is the diagnostics image again.
    writeHostFile("diag_image.old", "old image");
    imageDiagReplaceComplete();
    EXPECT_EQ(readHostFile("diag_image.stk"), "old image");
    EXPECT_FALSE(hostFileExists("diag_image.old"));

    // Lost after the new one had its name: the set-aside copy goes.
    writeHostFile("diag_image.old", "older");
    imageDiagReplaceComplete();
    EXPECT_EQ(readHostFile("diag_image.stk"), "old image");
    EXPECT_FALSE(hostFileExists("diag_image.old"));
}

} // namespace

namespace {
TEST_F(XmodemTest, ChecksumReceiveWhenAskedWithNak)
{
    std::string data = allBytes(300);
    ScriptedSender s;
    s.sends = {frame(1, data.substr(0, 128), false), frame(2, data.substr(128, 128), false),
               frame(3, data.substr(256), false)};
    s.attach(peer());
    EXPECT_EQ(xmodem("-brke out.bin"), 0);
    EXPECT_EQ(readHostFile("out.bin").substr(0, 300), data);
    EXPECT_EQ(s.replies.substr(0, 2), std::string(1, NAK) + ACK);
}
} // namespace
