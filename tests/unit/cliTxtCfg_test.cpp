// cliTxtCfg_test.cpp - the startup configuration file: commands read from
// plain and compressed files, and copies into compressed "startup-config"
// that are refused. Compressed blocks are made here with zlib directly, from
// the block format's definition. (A whole copy is read back in the system
// load test.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cli/cliTxtCfg.h"
#include "image/imageLoad.h"
#include "osapi.h"
#include "support/imageBuilder.h"
#include "support/testBoard.h"
#include "support/textCheck.h"

using testimg::be32;

namespace {

std::string block(const std::string& text)
{
    std::string z = textcheck::deflate(text);
    return be32(uint32_t(z.size())) + be32(0xDEADC0DEu) + z;
}

class CliTxtCfg : public TestBoard {
protected:
    std::vector<std::string> commands(const std::string& name, int skip = 1)
    {
        std::vector<std::string> got;
        cliTxtCfgCtx ctx;
        if (cliTxtCfgCmdInit(name.c_str(), &ctx) != 0) return {"<cannot open>"};
        while (char* c = cliTxtCfgCmdGet(&ctx, skip)) got.emplace_back(c);
        EXPECT_EQ(cliTxtCfgCmdGet(&ctx, skip), nullptr) << "stays exhausted";
        cliTxtCfgCmdClose(&ctx);
        EXPECT_EQ(ctx.fd, -1);
        return got;
    }

    std::vector<std::string> read(const std::string& bytes, int skip = 1)
    {
        return writeHostFile("cfg", bytes), commands("cfg", skip);
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

// A copy that fails keeps the saved configuration: a missing file, a line too
// long, a command no block can hold (text deflate cannot shrink; such text
// that does fit is searched by the configuration fuzz target).
TEST_F(CliTxtCfg, RefusedCopiesKeepTheSavedConfiguration)
{
    const std::string saved = block("saved\n\n");
    std::string noise = textcheck::noise(1015, 5);
    for (char& ch : noise)
        if (std::strchr("\n\r\t !", ch)) ch = 'x'; // (a NUL too)
    writeHostFile("startup-config", saved);
    EXPECT_EQ(configStore("missing.bin"), 1);
    for (const std::string& line : {std::string(3000, 'L'), std::string(1022, 'y'), noise}) {
        writeHostFile("tempcfg.bin", "x\n" + line + "\nb\n");
        EXPECT_EQ(configStore("tempcfg.bin"), 1) << line.size();
        EXPECT_EQ(readHostFile("startup-config"), saved) << line.size();
    }
    EXPECT_EQ(cliTxtCfgCopyConfig(nullptr, nullptr, 1), 2);
}

} // namespace
