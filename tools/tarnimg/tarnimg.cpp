// tarnimg - builds, inspects and verifies tarn8541 operational code images and
// STK containers on the development host.
//
// The image format itself (header layout, checksum, STK directory, validity
// rules) is the boot code's own code in image/; this tool only adds host file
// handling, compression of the payload and the command line.
//
// Commands: create.cpp (create, stk), inspect.cpp (info, verify), config.cpp.
#include "tools/tarnimg/tarnimg.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnimg {

namespace {

constexpr size_t kReadLimit = 256u << 20; // files bigger than the board's DRAM are not images

const char* const kUsage =
    "Usage: tarnimg COMMAND [OPTIONS] ...\n"
    "Build, inspect and verify tarn8541 operational code images and STK containers.\n"
    "\n"
    "Commands:\n"
    "  create   make an image from a code payload (compressed into component 0)\n"
    "  stk      pack plain images for several targets into one STK container\n"
    "  info     show an image's or container's header (text, or JSON with --json)\n"
    "  verify   check an image as the boot code does (status 0 valid, 1 invalid)\n"
    "  config   show a \"startup-config\" (compressed blocks or plain) as text\n"
    "\n"
    "`tarnimg COMMAND --help` describes a command. Exit status 2 is a usage or\n"
    "I/O error.\n";

} // namespace

void die(int status, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::fputs("tarnimg: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
    std::exit(status);
}

// ---- host files ---------------------------------------------------------------------

Bytes readFile(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        die(kExitUsage, "cannot open '%s': %s", path.c_str(), std::strerror(errno));
    Bytes data;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        data.insert(data.end(), chunk, chunk + n);
        if (data.size() > kReadLimit) {
            std::fclose(f);
            die(kExitUsage, "'%s' is larger than %zu MiB, not an image", path.c_str(), kReadLimit >> 20);
        }
    }
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed)
        die(kExitUsage, "cannot read '%s'", path.c_str());
    return data;
}

// Writes data to a temporary file beside path and renames it into place, so a
// failure never leaves a half-made output.
void writeFileAtomic(const std::string& path, const Bytes& data)
{
    std::string tmp = path + ".tarnimg-XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0)
        die(kExitUsage, "cannot create '%s': %s", path.c_str(), std::strerror(errno));
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int err = errno;
            ::close(fd);
            ::unlink(name.data());
            die(kExitUsage, "cannot write '%s': %s", path.c_str(), std::strerror(err));
        }
        done += static_cast<size_t>(n);
    }
    if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0 || ::close(fd) != 0 || std::rename(name.data(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(name.data());
        die(kExitUsage, "cannot write '%s': %s", path.c_str(), std::strerror(err));
    }
}

std::string baseName(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

uint32_t parseU32(const std::string& opt, const std::string& text, uint64_t max)
{
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || v > max)
        die(kExitUsage, "%s: '%s' is not a number from 0 to %llu", opt.c_str(), text.c_str(),
            static_cast<unsigned long long>(max));
    return static_cast<uint32_t>(v);
}

bool wantsHelp(const Args& a)
{
    for (const auto& s : a.items)
        if (s == "-h" || s == "--help")
            return true;
    return false;
}

std::string oneFileArg(Args& a, const char* cmd, const std::function<bool(const std::string&)>& option)
{
    std::string path;
    while (a.more()) {
        std::string opt = a.next();
        if (!opt.empty() && opt[0] == '-') {
            if (!option(opt)) die(kExitUsage, "%s: unknown option '%s' (see tarnimg %s --help)", cmd, opt.c_str(), cmd);
        } else if (path.empty()) {
            path = opt;
        } else {
            die(kExitUsage, "%s: one file at a time ('%s', '%s')", cmd, path.c_str(), opt.c_str());
        }
    }
    if (path.empty()) die(kExitUsage, "%s: needs a FILE (see tarnimg %s --help)", cmd, cmd);
    return path;
}

const char* locateReason(int locate)
{
    switch (locate) {
    case IMAGE_LOCATE_SHORT: return "the file ends inside the header";
    case IMAGE_LOCATE_STK_INVALID: return "the STK directory does not fit its 316-byte header (more than 8 entries or a wrong header length)";
    case IMAGE_LOCATE_STK_EMPTY: return "the STK container has no entries";
    case IMAGE_LOCATE_STK_NO_MATCH: return "the STK container has no image for the target";
    default: return "no image header";
    }
}

// The reason an image is invalid, as one line.
std::string vetReason(const ImageVet& v, uint32_t fileLen, uint32_t target)
{
    char buf[256];
    switch (v.result) {
    case IMAGE_VET_LENGTH:
        std::snprintf(buf, sizeof buf, "the length it names (%u bytes) is outside 1220..16777216", v.length);
        break;
    case IMAGE_VET_SHORT:
        std::snprintf(buf, sizeof buf, "the file is %u bytes, shorter than the %u its header names", fileLen, v.length);
        break;
    case IMAGE_VET_CRC:
        std::snprintf(buf, sizeof buf, "checksum 0x%04x stored, 0x%04x computed over bytes 2..%u", v.stored,
                      v.computed, v.length);
        break;
    case IMAGE_VET_LOCATE:
        std::snprintf(buf, sizeof buf, "%s (target 0x%08x)", locateReason(v.locate), target);
        break;
    case IMAGE_VET_SIZE:
        std::snprintf(buf, sizeof buf, "image size %u is outside 1220..16777216", v.hdr.size);
        break;
    case IMAGE_VET_TARGET:
        std::snprintf(buf, sizeof buf, "built for target 0x%08x, not 0x%08x", v.hdr.targetDevice, target);
        break;
    default:
        return "valid";
    }
    return buf;
}

// Inflates a component as the launch would (into a scratch window, counting
// the output): "" when the stream ends within the file, else what is wrong.

// Text fields may hold anything; shown with unprintable bytes escaped.
std::string printable(const char* s)
{
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; p++) {
        if (*p < 0x20 || *p >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", *p);
            out += buf;
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out;
}

} // namespace tarnimg

using namespace tarnimg;

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    std::string cmd = argv[1];
    Args a;
    for (int i = 2; i < argc; i++)
        a.items.emplace_back(argv[i]);
    if (cmd == "-h" || cmd == "--help" || cmd == "help") {
        std::fputs(kUsage, stdout);
        return kExitValid;
    }
    if (cmd == "create") return cmdCreate(a);
    if (cmd == "stk") return cmdStk(a);
    if (cmd == "info") return cmdInfo(a);
    if (cmd == "verify") return cmdVerify(a);
    if (cmd == "config") return cmdConfig(a);
    std::fprintf(stderr, "tarnimg: unknown command '%s'\n\n%s", cmd.c_str(), kUsage);
    return kExitUsage;
}
