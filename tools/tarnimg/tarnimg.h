// tarnimg.h - what the image tool's commands share: exit statuses, one-line
// refusals, host file reading and writing, the command line, and the reasons
// an image is refused in words.
#pragma once

#include "image/image.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tarnimg {

using Bytes = std::vector<uint8_t>;

constexpr int kExitValid = 0;
constexpr int kExitInvalid = 1;
constexpr int kExitUsage = 2;

// Prints "tarnimg: " and the message as one line on standard error and exits.
[[noreturn]] void die(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// The whole file (refused past the size no image reaches).
Bytes readFile(const std::string& path);
// Writes data beside path and renames it into place: never a half-made output.
void writeFileAtomic(const std::string& path, const Bytes& data);
std::string baseName(const std::string& path);

struct Args {
    std::vector<std::string> items;
    size_t pos = 0;
    bool more() const { return pos < items.size(); }
    const std::string& next() { return items[pos++]; }
    std::string value(const std::string& opt)
    {
        if (!more())
            die(kExitUsage, "%s needs a value", opt.c_str());
        return next();
    }
};

uint32_t parseU32(const std::string& opt, const std::string& text, uint64_t max = 0xFFFFFFFFu);
bool wantsHelp(const Args& a);
// The one FILE of a command that reads a single file: each option goes to
// option (false: unknown, refused), a second file or a missing one is refused.
std::string oneFileArg(Args& a, const char* cmd, const std::function<bool(const std::string&)>& option);

// Text shown with unprintable bytes escaped (\xNN).
std::string printable(const char* s);
// Why an image could not be located or is invalid, as one line.
const char* locateReason(int locate);
std::string vetReason(const ImageVet& v, uint32_t fileLen, uint32_t target);

int cmdCreate(Args& a);
int cmdStk(Args& a);
int cmdInfo(Args& a);
int cmdVerify(Args& a);
int cmdConfig(Args& a);

} // namespace tarnimg
