// fileTargets.h - the readers of stored and received files, one fuzz target each: an input goes
// in as the file (or the sender's bytes) and the reader runs as the board runs it. A target traps
// on a broken oracle; the sanitizers catch the rest. Shared, with the seed inputs, by files_fuzz
// (libFuzzer) and fileFuzz_test. Expects the platform started, the current directory
// "/DskVol/files" (host directory filesDir) and the flash access lock created.
#pragma once

#include "../unit/support/imageBuilder.h"
#include "../unit/support/xmodemPeer.h"
#include "cli/cliTxtCfg.h"
#include "host/os/console/console.h"
#include "image/dim.h"
#include "image/image.h"
#include "image/imageActivate.h"
#include "image/imageInfo.h"
#include "log/eventLog.h"
#include "log/log.h"
#include "osapi.h"
#include "xmodem/xmodem.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include <zlib.h>

namespace fuzzfiles {

struct Context {
    std::string filesDir;
    host::ScriptedPeer* peer;
};

inline std::string read(const Context& c, const char* name)
{
    std::ifstream in(c.filesDir + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
inline void write(const Context& c, const char* name, const std::string& s)
{
    std::ofstream(c.filesDir + "/" + name, std::ios::binary | std::ios::trunc) << s;
}
inline void require(bool ok)
{
    if (!ok) __builtin_trap();
}

// "boot.dim": start-up's reading (and its repair), the show, the queries.
// The images it names are never touched.
inline void dimRun(const Context& c, const std::string& in)
{
    write(c, "boot.dim", in);
    write(c, "image1", "one");
    write(c, "image2", "two");
    dimReset();
    imageActivateReset();
    dimInitialize();
    dimShow();
    char name[DIM_NAME_LEN + 8] = {}, text[DIM_DESCR_LEN + 8] = {};
    dimActiveImageGet(name);
    dimBackupImageGet(name);
    char boot[BOOT_IMAGE_NAME_LEN];
    imageActiveNameGet(boot, false);
    int n = 0;
    dimActiveCounterGet(&n);
    dimImageDescrGet("image1", text);
    require(std::strlen(name) < DIM_NAME_LEN && std::strlen(text) < DIM_DESCR_LEN);
    require(read(c, "image1") == "one" && read(c, "image2") == "two");
}

// "startup-config": every command read out, then copied as option 5 copies
// a received file. The reader never writes its file; a copy that succeeds
// reads back as the same commands, in compressed blocks the reader can take.
inline std::vector<std::string> commands(const char* name)
{
    std::vector<std::string> out;
    cliTxtCfgCtx ctx;
    if (cliTxtCfgCmdInit(name, &ctx) != 0) return {"<none>"};
    while (char* line = cliTxtCfgCmdGet(&ctx, 0)) {
        require(std::strlen(line) <= CLI_TXT_CFG_LINE_MAX && out.size() < 100000);
        out.emplace_back(line);
    }
    cliTxtCfgCmdClose(&ctx);
    return out;
}

inline void configRun(const Context& c, const std::string& in)
{
    write(c, "startup-config", in);
    std::vector<std::string> cmds = commands("startup-config");
    require(read(c, "startup-config") == in);
    if (cliTxtCfgCopyConfig("startup-config", "copy.cfg", 1) != 0) return;
    require(commands("copy.cfg") == cmds);
    std::string copy = read(c, "copy.cfg");
    for (size_t at = 0; at + 8 <= copy.size();) {
        uint32_t len = 0;
        require(cliTxtCfgBlockHeader(reinterpret_cast<const uint8_t*>(copy.data() + at), &len) &&
                len <= CLI_TXT_CFG_BLOCK_LEN);
        at += 8 + len;
    }
}

// "diag_config.cfg": the start mode read at power-on is one of the two.
inline void diagRun(const Context& c, const std::string& in)
{
    write(c, "diag_config.cfg", in);
    imageActivateReset();
    int mode = diagModeGet();
    require(mode == DIAG_MODE_DIAG || mode == DIAG_MODE_OPCODE);
    diagImageExists();
}

// The image header and STK table through the start-up check and option 6:
// the check of the stored image and the vetting of the same bytes in memory
// (the image tool's) decide alike, the file and memory header readers agree,
// and the check never writes the images.
inline void imageRun(const Context& c, const std::string& in)
{
    write(c, "boot.dim", "---IMAGE---\nactive\nactive\nimage1\n0\n\n---IMAGE---\nbackup\nbackup\nimage2\n0\n\n");
    write(c, "image1", in);
    write(c, "image2", in);
    dimReset();
    imageActivateReset();
    dimInitialize();
    int stored = imageActiveCrcCheck();
    imageInfoShow();
    diagImageExists();
    require(read(c, "image1") == in && read(c, "image2") == in);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(in.data());
    ImageVet vet;
    imageVetBuffer(bytes, uint32_t(in.size()), testimg::kBoard, &vet);
    require((stored == 0) == (vet.result == IMAGE_VET_OK));
    ImageHeader fromFile{}, fromMemory{};
    bool fileOk = readImageHeader("image1", &fromFile) == 0;
    require(fileOk == (imageHeaderParse(bytes, uint32_t(in.size()), testimg::kBoard, &fromMemory, nullptr) ==
                       IMAGE_LOCATE_OK));
    require(!fileOk ||
            (fromFile.size == fromMemory.size && fromFile.components[0].offset == fromMemory.components[0].offset));
}

// Received streams: the sender's bytes, then silence. The first byte picks the command: XMODEM
// into a named file, YMODEM batch (a block 0 with a good CRC made of the next 128 bytes, so header
// texts are reached), MODEM7 into a named file. Nothing outside the current directory is written.
inline std::string block0(std::string body)
{
    body.resize(128, '\0');
    return xpeer::frame(0, body);
}

inline void receiveRun(const Context& c, const std::string& in)
{
    if (in.empty()) return;
    static const char* const kCommands[] = {"-cbrke out.bin", "-ybrk", "-mbr out.bin", "-cbrk out.bin"};
    int kind = (unsigned char)in[0] % 4;
    std::string stream = kind == 1 ? block0(in.substr(1)) + (in.size() > 129 ? in.substr(129) : "") : in.substr(1);
    std::string parent = c.filesDir + "/..";
    size_t before = std::distance(std::filesystem::directory_iterator(parent), {});
    // Like a sender: the next piece (a block, or a byte of a MODEM7 name) each
    // time the board answers with a single byte.
    size_t at = 0;
    c.peer->onOutput = [&](host::ScriptedPeer& p, const std::string& out) {
        if (out.size() == 1 && at < stream.size()) {
            size_t piece = kind == 2 && at < 13 ? 1 : 133;
            p.type(stream.substr(at, piece));
            at += piece;
        }
        p.clearOutput();
    };
    xmodem(kCommands[kind]);
    c.peer->onOutput = [](host::ScriptedPeer& p, const std::string&) { p.clearOutput(); };
    require(size_t(std::distance(std::filesystem::directory_iterator(parent), {})) == before);
    for (auto& e : std::filesystem::directory_iterator(c.filesDir))
        if (e.is_regular_file() && e.path().filename() != "image1") std::filesystem::remove(e.path());
}

// "log2.bin", the text logs and "persist.txt": the event log store as the
// start-up opens it (and in mode off), its rendering over the raw bytes, the
// dump of every generation, the persist ring.
inline void logsRun(const Context& c, const std::string& in)
{
    const uint8_t* data = reinterpret_cast<const uint8_t*>(in.data());
    size_t size = in.size();
    for (int mode : {5, EVENT_LOG_MODE_OFF}) {
        write(c, "log2.bin", in);
        eventLogOpen(EVENT_LOG_BOOT_SIZE, nullptr, mode, 2, 7);
        require(eventLogToAscii() != 0 || read(c, "asciilog.bin").size() % 1024 == 0); // whole kilobytes
    }
    // The renderer over the raw bytes, which need not be a valid log.
    eventLogOpen(EVENT_LOG_BOOT_SIZE, nullptr, 5, 2, 7);
    std::vector<uint8_t> buf(EVENT_LOG_BOOT_SIZE, 0xFF);
    std::memcpy(buf.data(), data, size < buf.size() ? size : buf.size());
    char text[EVENT_LOG_TEXT_LEN];
    text[0] = '\0';
    int32_t cursor = eventLogFormat(buf.data(), EVENT_LOG_NONE, text);
    for (uint32_t shown = 0; cursor != EVENT_LOG_NONE; ++shown) {
        if (shown > eventLogSlotCount() || std::strlen(text) >= EVENT_LOG_TEXT_LEN) require(false);
        text[0] = '\0';
        cursor = eventLogFormat(buf.data(), cursor, text);
    }

    // The text logs: every generation, then "persist.txt".
    for (const char* name : {"slog0.txt", "olog0.txt", "slog1.txt", "olog2.txt", "persist.txt"})
        write(c, name, in);
    logDump("dump.txt");
    persistPrint();
    if (persistInit() == 0) persistWrite("<fuzz>", 6);
    std::ifstream persist(c.filesDir + "/persist.txt", std::ios::binary | std::ios::ate);
    uint64_t limit = size > 32u * LOG_SLOT_SIZE ? size : 32u * LOG_SLOT_SIZE;
    if (uint64_t(persist.tellg()) > limit) require(false); // the ring never grows past its slots
}

struct Target {
    const char* name;
    void (*run)(const Context&, const std::string&);
    std::vector<std::string> seeds;
};

inline std::vector<Target> targets()
{
    using namespace testimg;
    std::string dim2 = "---IMAGE---\nactive\nactive\nimage1\n3\ndefault image\n"
                       "---IMAGE---\nbackup\nbackup\nimage2\n0\n\n";
    std::string plain = "hostname tarn\r\n! comment\n\n  interface 0/1 \nvlan database\n  vlan 5\nexit\n";
    std::string text = "hostname tarn\n\nvlan 5\n\n", z(128, '\0');
    uLongf zlen = z.size();
    compress(reinterpret_cast<Bytef*>(z.data()), &zlen, reinterpret_cast<const Bytef*>(text.data()), text.size());
    std::string packed = be32(uint32_t(zlen)) + be32(CLI_TXT_CFG_MAGIC) + z.substr(0, zlen);
    std::string incompressible; // lines deflate cannot shrink
    for (uint32_t i = 0, x = 1; i < 12000; ++i) {
        x = x * 1103515245u + 12345u;
        char ch = char(1 + (x >> 16) % 255);
        incompressible += i % 700 == 699 ? '\n' : std::strchr("\n\r\t !", ch) ? 'x' : ch;
    }
    std::string img = plainImage(), block1 = xpeer::frame(1, std::string(128, 'd'));
    std::string ymodem = "\x01out.bin" + std::string("\0" "300 10 100644 0 1 300 0", 24);
    ymodem.resize(129, '\0');
    std::string events;
    for (uint32_t type : {1u, 2u, 3u, 4u, 0x300u, 0x1100u, 0u, 5u}) events += be32(type) + std::string(48, 'a');
    events += std::string(52 * 3, '\xff');
    return {
        {"dim", dimRun, {dim2, dim2.substr(0, 40), "---IMAGE---\n"}},
        {"config", configRun, {plain, packed, packed + plain, incompressible}},
        {"diag", diagRun, {"1", "2", std::string(4, '\0') + "\x01"}},
        {"image", imageRun, {img, withBootCode(std::string(64, 'b')), stk({{kBoard, img}, {1, img}})}},
        {"receive", receiveRun,
         {std::string(1, '\0') + block1 + "\x04", ymodem + block1 + "\x04" + block0(""),
          "\x02\x06OUT     BIN\x1a\x06" + block1}},
        {"logs", logsRun, {events, std::string("<1> started\r\n").append(579, '\0') + "<2> cut"}},
    };
}

} // namespace fuzzfiles
