// config.cpp - tarnimg config: a saved "startup-config" shown as the board's
// reader hands its commands out.
#include "cli/cliTxtCfg.h"
#include "tools/tarnimg/tarnimg.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>

namespace tarnimg {

namespace {

const char* const kConfigHelp =
    "Usage: tarnimg config [--raw] FILE\n"
    "Shows a saved configuration as the board stores it in \"startup-config\"\n"
    "(option 5 of the boot menu writes it): a series of compressed blocks, each\n"
    "an 8-byte header (length, magic 0xDEADC0DE) and a zlib stream of whole\n"
    "commands, or plain text. Prints the commands one per line, comments (\"!\")\n"
    "included, blank lines left out, as the board's reader hands them out.\n"
    "Exit status 1 (after what could be read) when the file holds something the\n"
    "board's reader refuses: a block longer than 1024 bytes, a block that does\n"
    "not inflate, a file cut short, or a line longer than 1024 characters. A file\n"
    "that is not text (an image, say) is refused before any of it is shown.\n"
    "\n"
    "  --raw                   the decoded text exactly as stored instead\n"
    "\n"
    "To make a configuration file to load, write the commands one per line in a\n"
    "text file and send it with option 5.\n";

// ---- config -------------------------------------------------------------------------

// Decodes a startup-config into its text: "" or what the board's reader refuses.
std::string configDecode(const Bytes& file, std::string* text)
{
    size_t pos = 0;
    char buf[200];
    while (pos < file.size()) {
        uint32_t blockLength = 0;
        if (file.size() - pos < CLI_TXT_CFG_HEADER_LEN || !cliTxtCfgBlockHeader(file.data() + pos, &blockLength)) {
            text->append(reinterpret_cast<const char*>(file.data() + pos), file.size() - pos);
            return ""; // plain text runs to the end of the file
        }
        if (blockLength > CLI_TXT_CFG_BLOCK_LEN) {
            std::snprintf(buf, sizeof buf, "block at offset %zu: length %u exceeds the reader's %u-byte buffer", pos,
                          blockLength, CLI_TXT_CFG_BLOCK_LEN);
            return buf;
        }
        if (file.size() - pos - CLI_TXT_CFG_HEADER_LEN < blockLength) {
            std::snprintf(buf, sizeof buf, "block at offset %zu: the file ends within its %u bytes", pos, blockLength);
            return buf;
        }
        char out[CLI_TXT_CFG_TEXT_LEN];
        uLongf n = sizeof out - 1;
        int rc = uncompress(reinterpret_cast<Bytef*>(out), &n, file.data() + pos + CLI_TXT_CFG_HEADER_LEN, blockLength);
        if (rc != Z_OK) {
            std::snprintf(buf, sizeof buf, "block at offset %zu: %s", pos,
                          rc == Z_BUF_ERROR ? "inflates to more than the reader's window" : "data does not inflate");
            return buf;
        }
        text->append(out, n);
        pos += CLI_TXT_CFG_HEADER_LEN + blockLength;
    }
    return "";
}

} // namespace

int cmdConfig(Args& a)
{
    if (wantsHelp(a)) {
        std::fputs(kConfigHelp, stdout);
        return kExitValid;
    }
    bool raw = false;
    std::string path = oneFileArg(a, "config", [&](const std::string& opt) {
        if (opt != "--raw") return false;
        raw = true;
        return true;
    });
    Bytes file = readFile(path);
    std::string text;
    std::string err = configDecode(file, &text);
    // A configuration is text: anything else is refused before a byte of it
    // reaches the terminal.
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool blank = c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v' || c == 0x1A;
        if ((c < 0x20 && !blank) || c == 0x7F) {
            bool image = file.size() >= 16 && (stkIsContainer(file.data()) || imageSizeValid(checksumLength(file.data())));
            die(kExitInvalid, "config: '%s' is not a configuration: byte 0x%02x at text offset %zu is not text%s",
                path.c_str(), c, i, image ? " (it looks like an operational code image: see tarnimg info)" : "");
        }
    }
    if (raw) {
        std::fwrite(text.data(), 1, text.size(), stdout);
    } else {
        size_t start = 0;
        while (start < text.size()) {
            size_t lf = text.find('\n', start);
            size_t end = lf == std::string::npos ? text.size() : lf;
            if (end - start > CLI_TXT_CFG_LINE_MAX && err.empty())
                err = "a line of " + std::to_string(end - start) + " characters, which the board's reader drops";
            std::string line = text.substr(start, end - start);
            const char* blanks = " \t\r\n\x1a"; // Ctrl-Z: XMODEM's padding of a received file
            size_t first = line.find_first_not_of(blanks);
            if (first != std::string::npos) {
                line = line.substr(first, line.find_last_not_of(blanks) - first + 1);
                std::printf("%s\n", line.c_str());
            }
            start = end + 1;
        }
    }
    std::fflush(stdout);
    if (!err.empty())
        die(kExitInvalid, "config: '%s': %s", path.c_str(), err.c_str());
    return kExitValid;
}

} // namespace tarnimg
