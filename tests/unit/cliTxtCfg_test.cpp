// cliTxtCfg_test.cpp - the startup configuration file: commands read from plain
// and compressed files, the copy into compressed "startup-config", and input
// that does not fit the reader's buffers. Compressed blocks are made and
// checked here with zlib directly, from the block format's definition.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>
#include <zlib.h>

#include "cli/cliTxtCfg.h"
#include "image/imageLoad.h"
#include "osapi.h"
#include "support/imageBuilder.h"
#include "support/testBoard.h"

using testimg::be32;

namespace {

std::string block(const std::string& text)
{
    uLongf n = compressBound(static_cast<uLong>(text.size()));
    std::string out(n, '\0');
    compress(reinterpret_cast<Bytef*>(&out[0]), &n, reinterpret_cast<const Bytef*>(text.data()),
             static_cast<uLong>(text.size()));
    out.resize(n);
    return be32(static_cast<uint32_t>(n)) + be32(0xDEADC0DEu) + out;
}

// The texts of the blocks of a compressed file; fails the test on anything else.
std::vector<std::string> blocks(const std::string& file)
{
    std::vector<std::string> texts;
    size_t pos = 0;
    while (pos < file.size()) {
        EXPECT_GE(file.size() - pos, 8u);
        auto u32 = [&](size_t at) {
            return (uint32_t(uint8_t(file[at])) << 24) | (uint32_t(uint8_t(file[at + 1])) << 16) |
                   (uint32_t(uint8_t(file[at + 2])) << 8) | uint8_t(file[at + 3]);
        };
        uint32_t len = u32(pos);
        EXPECT_EQ(u32(pos + 4), 0xDEADC0DEu);
        EXPECT_LE(len, 1024u) << "the reader's buffer";
        std::string text(4096, '\0');
        uLongf n = text.size();
        EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(&text[0]), &n,
                             reinterpret_cast<const Bytef*>(file.data() + pos + 8), len),
                  Z_OK);
        text.resize(n);
        EXPECT_LE(text.size(), 1023u);
        texts.push_back(text);
        pos += 8 + len;
    }
    return texts;
}

class CliTxtCfg : public TestBoard {
protected:
    std::vector<std::string> commands(const std::string& name, int skip = 1, bool* damaged = nullptr)
    {
        std::vector<std::string> got;
        cliTxtCfgCtx ctx;
        if (cliTxtCfgCmdInit(name.c_str(), &ctx) != 0)
            return {"<cannot open>"};
        while (char* c = cliTxtCfgCmdGet(&ctx, skip))
            got.emplace_back(c);
        EXPECT_EQ(cliTxtCfgCmdGet(&ctx, skip), nullptr) << "stays exhausted";
        if (damaged)
            *damaged = ctx.damaged;
        cliTxtCfgCmdClose(&ctx);
        EXPECT_EQ(ctx.fd, -1);
        return got;
    }

    std::vector<std::string> read(const std::string& bytes, int skip = 1, bool* damaged = nullptr)
    {
        writeHostFile("cfg", bytes);
        return commands("cfg", skip, damaged);
    }
};

using Cmds = std::vector<std::string>;

TEST_F(CliTxtCfg, PlainTextLinesCommentsAndBlanks)
{
    std::string text = "hostname tarn\r\n  \t\r\n! a comment\n   interface 1/0/1  \n\n\texit\t\n";
    EXPECT_EQ(read(text), (Cmds{"hostname tarn", "interface 1/0/1", "exit"}));
    EXPECT_EQ(read(text, 0), (Cmds{"hostname tarn", "! a comment", "interface 1/0/1", "exit"}));
    EXPECT_EQ(read("a\nlast line without new-line"), (Cmds{"a", "last line without new-line"}));
    EXPECT_EQ(read("end"), (Cmds{"end"})) << "a short file is text too";
    EXPECT_EQ(read("a\nexit" + std::string(100, '\x1a')), (Cmds{"a", "exit"})) << "XMODEM padding";
    EXPECT_EQ(read("a\n" + std::string(100, '\x1a')), (Cmds{"a"}));
    EXPECT_EQ(read(""), Cmds{});
    // A NUL ends the command; the blanks and padding before it are trimmed as at a line's end.
    EXPECT_EQ(read(std::string("a \r\0junk\n!\x1a\0\nb\n", 16), 0), (Cmds{"a", "!", "b"}));
    EXPECT_EQ(commands("missing"), (Cmds{"<cannot open>"}));

}

TEST_F(CliTxtCfg, CopyWritesCompressedBlocksOfWholeCommands)
{
    writeHostFile("tempcfg.bin", "hostname tarn\n! note\n\n  vlan 5  \r\n");
    EXPECT_EQ(configStore("tempcfg.bin"), 0);
    EXPECT_EQ(blocks(readHostFile("startup-config")), (Cmds{"hostname tarn\n\n! note\n\nvlan 5\n\n"}));
    EXPECT_EQ(commands("startup-config"), (Cmds{"hostname tarn", "vlan 5"}));

}

// Text deflate cannot shrink (1023-byte blocks would grow past 1024) is searched
// by the configuration fuzz target; a command no block can hold refuses the copy.
TEST_F(CliTxtCfg, CommandThatFitsNoBlockRefusesTheCopy)
{
    std::mt19937 rnd(5);
    auto noise = [&rnd] {
        for (;;) {
            char c = static_cast<char>(1 + rnd() % 255);
            if (c != '\n' && c != '\r' && c != '\t' && c != ' ' && c != '!')
                return c;
        }
    };
    // A single command that cannot fit any block refuses the copy.
    writeHostFile("startup-config", block("old\n\n"));
    std::string c(1015, 'a');
    for (size_t k = 0; k < c.size(); k++)
        c[k] = noise();
    writeHostFile("tempcfg.bin", "x\n" + c + "\n");
    EXPECT_EQ(configStore("tempcfg.bin"), 1);
    EXPECT_EQ(commands("startup-config"), (Cmds{"old"}));
    writeHostFile("tempcfg.bin", "x\n" + std::string(1022, 'y') + "\n");
    EXPECT_EQ(configStore("tempcfg.bin"), 1);
    EXPECT_EQ(commands("startup-config"), (Cmds{"old"}));
}

TEST_F(CliTxtCfg, FailedCopiesKeepTheSavedConfiguration)
{
    std::string saved = block("saved\n\n");
    writeHostFile("startup-config", saved);
    EXPECT_EQ(configStore("missing.bin"), 1);
    EXPECT_EQ(readHostFile("startup-config"), saved);
    writeHostFile("tempcfg.bin", "a\n" + std::string(3000, 'L') + "\nb\n"); // a line that cannot be copied
    EXPECT_EQ(configStore("tempcfg.bin"), 1);
    EXPECT_EQ(readHostFile("startup-config"), saved);
    EXPECT_EQ(cliTxtCfgCopyConfig(nullptr, nullptr, 1), 2);

}

} // namespace
