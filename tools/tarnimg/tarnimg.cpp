// tarnimg - builds, inspects and verifies tarn8541 operational code images and
// STK containers on the development host.
//
// The image format itself (header layout, checksum, STK directory, validity
// rules) is the boot code's own code in image/; this tool only adds host file
// handling, compression of the payload and the command line.
#include "bsp/cpu/tarn8541/vxworks/start/bootLaunch.h"
#include "cli/cliTxtCfg.h"
#include "image/image.h"

#include <zlib.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kExitValid = 0;
constexpr int kExitInvalid = 1;
constexpr int kExitUsage = 2;

constexpr uint32_t kDefaultLoad = 0x00100000u;
constexpr uint32_t kBootRegionSize = 0x00100000u; // the boot flash region the boot code is written to
constexpr size_t kTimestampMax = 31;              // 32-byte field with its NUL
constexpr size_t kFileNameMax = 399;              // 400-byte field with its NUL
constexpr uint32_t kMaxStkImages = (STK_HEADER_BUF_SIZE - STK_FIXED_SIZE) / STK_ENTRY_SIZE;
constexpr size_t kReadLimit = 256u << 20; // files bigger than the board's DRAM are not images

// ---- messages -------------------------------------------------------------------

[[noreturn]] void die(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
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

const char* const kCreateHelp =
    "Usage: tarnimg create [OPTIONS] -o OUTPUT PAYLOAD\n"
    "Makes a plain image: PAYLOAD compressed with zlib as component 0 (the\n"
    "operational code, inflated to its load address and entered there), and\n"
    "optionally a boot code file stored as it is as component 1. The header\n"
    "checksum and each component's CRC (the same 16-bit checksum over the\n"
    "component's stored bytes) are filled in.\n"
    "\n"
    "  -o, --output FILE       the image to write (replaced only when complete)\n"
    "  --load ADDR             load address and entry of the code (default 0x00100000;\n"
    "                          the inflated code must end below 0x04000000)\n"
    "  --target ID             target device id (default 0x00508541, this board)\n"
    "  --timestamp TEXT        build date text, up to 31 characters (default: now,\n"
    "                          or SOURCE_DATE_EPOCH when set, as \"Mon Apr 28 14:05:09 2008\" UTC)\n"
    "  --file NAME             file name text of the header (default: OUTPUT's name)\n"
    "  --rel R                 release: a letter or a number 0-255 (default 1)\n"
    "  --ver N                 version 0-255 (default 0)\n"
    "  --maint N               maintenance level 0-255 (default 0)\n"
    "  --build N               build number 0-255, 0 for none (default 0)\n"
    "  --code-version N        component 0 version (default 0)\n"
    "  --flash-flag N          component 0 FLASH flag (default 0)\n"
    "  --boot-code FILE        boot code (up to 1 MiB) as component 1\n"
    "  --boot-version N        component 1 version (default 0)\n"
    "  --boot-flash-flag N     component 1 FLASH flag (default 0)\n"
    "  --level N               zlib compression level 0-9 (default 9)\n";

const char* const kStkHelp =
    "Usage: tarnimg stk -o OUTPUT IMAGE...\n"
    "Packs 1 to 8 plain images into an STK container. Each directory entry takes\n"
    "its target device id from the image's header; the board starts the first\n"
    "entry built for it, so two images for one target are refused. Every image\n"
    "must be valid for its own target (tarnimg verify --target ID).\n"
    "\n"
    "  -o, --output FILE       the container to write (replaced only when complete)\n";

const char* const kInfoHelp =
    "Usage: tarnimg info [--json] FILE\n"
    "Shows the header of a plain image, or the directory of an STK container and\n"
    "the header of each image in it, with whether the stored checksum matches.\n"
    "Component offsets are shown as in the header and as file positions.\n"
    "\n"
    "  --json                  one JSON object instead of text\n";

const char* const kVerifyHelp =
    "Usage: tarnimg verify [--target ID] FILE\n"
    "Checks FILE by the rules the boot code applies to a loaded or stored image:\n"
    "the stored checksum over the length the file names (an STK container's own\n"
    "length), every byte of that length present, 1220 <= size <= 16 MiB, and an\n"
    "image for the target (inside an STK: the first entry for it) built for it.\n"
    "Prints the verdict and the reason. Warnings say when a valid image still\n"
    "could not start (no code component, a load address outside the code load\n"
    "area, a deflate stream that is corrupt or does not end within the file).\n"
    "\n"
    "  --target ID             the target device (default 0x00508541, this board)\n"
    "\n"
    "Exit status: 0 valid, 1 invalid, 2 usage or I/O error.\n";

const char* const kConfigHelp =
    "Usage: tarnimg config [--raw] FILE\n"
    "Shows a saved configuration as the board stores it in \"startup-config\"\n"
    "(option 5 of the boot menu writes it): a series of compressed blocks, each\n"
    "an 8-byte header (length, magic 0xDEADC0DE) and a zlib stream of whole\n"
    "commands, or plain text. Prints the commands one per line, comments (\"!\")\n"
    "included, blank lines left out, as the board's reader hands them out.\n"
    "Exit status 1 (after what could be read) when the file holds something the\n"
    "board's reader refuses: a block longer than 1024 bytes, a block that does\n"
    "not inflate, a file cut short, or a line longer than 1024 characters.\n"
    "\n"
    "  --raw                   the decoded text exactly as stored instead\n"
    "\n"
    "To make a configuration file to load, write the commands one per line in a\n"
    "text file and send it with option 5.\n";

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

// ---- command line -----------------------------------------------------------------

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

uint32_t parseU32(const std::string& opt, const std::string& text, uint64_t max = 0xFFFFFFFFu)
{
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || v > max)
        die(kExitUsage, "%s: '%s' is not a number from 0 to %llu", opt.c_str(), text.c_str(),
            static_cast<unsigned long long>(max));
    return static_cast<uint32_t>(v);
}

std::string timestampNow()
{
    time_t t = std::time(nullptr);
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"))
        t = static_cast<time_t>(parseU32("SOURCE_DATE_EPOCH", epoch));
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a %b %d %H:%M:%S %Y", &tm);
    return buf;
}

bool wantsHelp(const Args& a)
{
    for (const auto& s : a.items)
        if (s == "-h" || s == "--help")
            return true;
    return false;
}

// ---- create -----------------------------------------------------------------------

Bytes zlibCompress(const Bytes& in, int level, const std::string& what)
{
    uLongf outLen = compressBound(static_cast<uLong>(in.size()));
    Bytes out(outLen);
    if (compress2(out.data(), &outLen, in.data(), static_cast<uLong>(in.size()), level) != Z_OK)
        die(kExitUsage, "cannot compress '%s'", what.c_str());
    out.resize(outLen);
    return out;
}

void componentSet(ComponentRecord* c, const Bytes& data, uint32_t offset, uint32_t load, uint32_t version,
                  uint32_t flashFlag)
{
    c->crc = imageCrc16(data.data(), static_cast<uint32_t>(data.size()));
    c->version = version;
    c->size = static_cast<uint32_t>(data.size());
    c->offset = offset;
    c->loadAddress = load;
    c->flashFlag = flashFlag;
}

// Puts the image checksum of bytes 2.. (up to the length the file names) in front.
void seal(Bytes& file)
{
    uint32_t length = checksumLength(file.data());
    uint16_t crc = imageCrc16(file.data() + 2, length - 2);
    file[0] = static_cast<uint8_t>(crc >> 8);
    file[1] = static_cast<uint8_t>(crc);
}

int cmdCreate(Args& a)
{
    if (wantsHelp(a)) {
        std::fputs(kCreateHelp, stdout);
        return kExitValid;
    }
    std::string out, payloadPath, bootPath, timestamp, fileName;
    bool haveTimestamp = false, haveFile = false;
    uint32_t load = kDefaultLoad, target = BOARD_TARGET_DEVICE;
    uint32_t rel = 1, ver = 0, maint = 0, build = 0, codeVersion = 0, flashFlag = 0, bootVersion = 0,
             bootFlash = 0, level = 9;
    while (a.more()) {
        std::string opt = a.next();
        if (opt == "-o" || opt == "--output") out = a.value(opt);
        else if (opt == "--load") load = parseU32(opt, a.value(opt));
        else if (opt == "--target") target = parseU32(opt, a.value(opt));
        else if (opt == "--timestamp") { timestamp = a.value(opt); haveTimestamp = true; }
        else if (opt == "--file") { fileName = a.value(opt); haveFile = true; }
        else if (opt == "--rel") {
            std::string v = a.value(opt);
            bool letter = v.size() == 1 && ((v[0] >= 'A' && v[0] <= 'Z') || (v[0] >= 'a' && v[0] <= 'z'));
            rel = letter ? static_cast<uint8_t>(v[0]) : parseU32(opt, v, 255);
        }
        else if (opt == "--ver") ver = parseU32(opt, a.value(opt), 255);
        else if (opt == "--maint") maint = parseU32(opt, a.value(opt), 255);
        else if (opt == "--build") build = parseU32(opt, a.value(opt), 255);
        else if (opt == "--code-version") codeVersion = parseU32(opt, a.value(opt));
        else if (opt == "--flash-flag") flashFlag = parseU32(opt, a.value(opt));
        else if (opt == "--boot-code") bootPath = a.value(opt);
        else if (opt == "--boot-version") bootVersion = parseU32(opt, a.value(opt));
        else if (opt == "--boot-flash-flag") bootFlash = parseU32(opt, a.value(opt));
        else if (opt == "--level") level = parseU32(opt, a.value(opt), 9);
        else if (!opt.empty() && opt[0] == '-') die(kExitUsage, "create: unknown option '%s' (see tarnimg create --help)", opt.c_str());
        else if (payloadPath.empty()) payloadPath = opt;
        else die(kExitUsage, "create: more than one payload ('%s', '%s')", payloadPath.c_str(), opt.c_str());
    }
    if (out.empty() || payloadPath.empty())
        die(kExitUsage, "create: needs -o OUTPUT and a PAYLOAD (see tarnimg create --help)");
    if (!haveTimestamp)
        timestamp = timestampNow();
    if (!haveFile)
        fileName = baseName(out);
    if (timestamp.size() > kTimestampMax)
        die(kExitUsage, "create: --timestamp is %zu characters, at most %zu fit", timestamp.size(), kTimestampMax);
    if (fileName.size() > kFileNameMax)
        die(kExitUsage, "create: --file is %zu characters, at most %zu fit", fileName.size(), kFileNameMax);

    Bytes payload = readFile(payloadPath);
    if (payload.empty())
        die(kExitUsage, "create: payload '%s' is empty", payloadPath.c_str());
    if (load >= CODE_LOAD_AREA_END || payload.size() > CODE_LOAD_AREA_END - load)
        die(kExitUsage, "create: '%s' (%zu bytes) loaded at 0x%08x would not end below 0x%08x, the end of the code load area",
            payloadPath.c_str(), payload.size(), load, CODE_LOAD_AREA_END);
    Bytes code = zlibCompress(payload, static_cast<int>(level), payloadPath);
    Bytes boot;
    if (!bootPath.empty()) {
        boot = readFile(bootPath);
        if (boot.empty())
            die(kExitUsage, "create: boot code '%s' is empty", bootPath.c_str());
        if (boot.size() > kBootRegionSize)
            die(kExitUsage, "create: boot code '%s' is %zu bytes, the boot region holds %u", bootPath.c_str(),
                boot.size(), kBootRegionSize);
    }

    uint64_t total = uint64_t(IMAGE_HEADER_SIZE) + code.size() + boot.size();
    if (total > IMAGE_MAX_SIZE)
        die(kExitUsage, "create: the image would be %llu bytes, more than the %u the boot code accepts",
            static_cast<unsigned long long>(total), IMAGE_MAX_SIZE);

    ImageHeader hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.targetDevice = target;
    hdr.size = static_cast<uint32_t>(total);
    hdr.numComponents = boot.empty() ? 1 : 2;
    componentSet(&hdr.components[0], code, 0, load, codeVersion, flashFlag);
    if (!boot.empty())
        componentSet(&hdr.components[1], boot, static_cast<uint32_t>(code.size()), 0, bootVersion, bootFlash);
    hdr.rel = static_cast<uint8_t>(rel);
    hdr.ver = static_cast<uint8_t>(ver);
    hdr.maint_lvl = static_cast<uint8_t>(maint);
    hdr.build_num = static_cast<uint8_t>(build);
    std::memcpy(hdr.timestamp, timestamp.c_str(), timestamp.size() + 1);
    std::memcpy(hdr.file, fileName.c_str(), fileName.size() + 1);

    Bytes file(IMAGE_HEADER_SIZE);
    imageHeaderEncode(&hdr, file.data());
    file.insert(file.end(), code.begin(), code.end());
    file.insert(file.end(), boot.begin(), boot.end());
    seal(file);
    writeFileAtomic(out, file);
    std::printf("%s: image for target 0x%08x, %zu bytes (code %zu -> %zu bytes at 0x%08x%s), checksum 0x%04x\n",
                out.c_str(), target, file.size(), payload.size(), code.size(), load,
                boot.empty() ? "" : (", boot code " + std::to_string(boot.size()) + " bytes").c_str(),
                (file[0] << 8) | file[1]);
    return kExitValid;
}

// ---- verification ---------------------------------------------------------------------

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
std::string inflateCheck(const uint8_t* in, size_t avail, uint64_t* produced)
{
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK)
        return "zlib cannot start";
    static uint8_t window[1 << 16];
    zs.next_in = const_cast<Bytef*>(in);
    zs.avail_in = static_cast<uInt>(avail);
    int rc;
    do {
        zs.next_out = window;
        zs.avail_out = sizeof window;
        rc = inflate(&zs, Z_NO_FLUSH);
    } while (rc == Z_OK && zs.total_out <= CODE_LOAD_AREA_END);
    *produced = zs.total_out;
    std::string msg = zs.msg ? zs.msg : "";
    inflateEnd(&zs);
    if (rc == Z_STREAM_END)
        return "";
    if (rc == Z_OK)
        return "it inflates to more than the code load area holds";
    if (rc == Z_BUF_ERROR)
        return "the deflate stream does not end within the file";
    return "the deflate stream is corrupt" + (msg.empty() ? std::string() : " (" + msg + ")");
}

// Problems that would stop a valid image from starting.
std::vector<std::string> launchWarnings(const Bytes& file, const ImageHeader& hdr)
{
    std::vector<std::string> w;
    const ComponentRecord& c = hdr.components[0];
    uint64_t start = uint64_t(IMAGE_HEADER_SIZE) + c.offset;
    uint64_t readable = file.size() < LAUNCH_BUFFER_SIZE ? file.size() : LAUNCH_BUFFER_SIZE;
    char buf[200];
    if (hdr.numComponents == 0 || c.size == 0) {
        w.push_back("it has no operational code (component 0 is empty)");
        return w;
    }
    if (c.loadAddress >= CODE_LOAD_AREA_END) {
        std::snprintf(buf, sizeof buf, "load address 0x%08x is outside the code load area (below 0x%08x)", c.loadAddress,
                      CODE_LOAD_AREA_END);
        w.push_back(buf);
        return w;
    }
    if (start >= readable) {
        std::snprintf(buf, sizeof buf, "component 0 starts at file position %llu, past the %llu bytes the launch reads",
                      static_cast<unsigned long long>(start), static_cast<unsigned long long>(readable));
        w.push_back(buf);
    } else {
        uint64_t produced = 0;
        std::string err = inflateCheck(file.data() + start, readable - start, &produced);
        if (!err.empty())
            w.push_back("component 0: " + err);
        else if (produced > CODE_LOAD_AREA_END - c.loadAddress) {
            std::snprintf(buf, sizeof buf, "the code (%llu bytes) at 0x%08x would not end below 0x%08x",
                          static_cast<unsigned long long>(produced), c.loadAddress, CODE_LOAD_AREA_END);
            w.push_back(buf);
        }
    }
    return w;
}

int cmdVerify(Args& a)
{
    if (wantsHelp(a)) {
        std::fputs(kVerifyHelp, stdout);
        return kExitValid;
    }
    uint32_t target = BOARD_TARGET_DEVICE;
    std::string path;
    while (a.more()) {
        std::string opt = a.next();
        if (opt == "--target") target = parseU32(opt, a.value(opt));
        else if (!opt.empty() && opt[0] == '-') die(kExitUsage, "verify: unknown option '%s' (see tarnimg verify --help)", opt.c_str());
        else if (path.empty()) path = opt;
        else die(kExitUsage, "verify: one file at a time ('%s', '%s')", path.c_str(), opt.c_str());
    }
    if (path.empty())
        die(kExitUsage, "verify: needs a FILE (see tarnimg verify --help)");
    Bytes file = readFile(path);
    ImageVet vet;
    uint32_t len = static_cast<uint32_t>(file.size());
    file.resize(file.size() + 16); // zero tail: the first 16 bytes of a tiny file read as zero
    imageVetBuffer(file.data(), len, target, &vet);
    file.resize(len);
    if (vet.result != IMAGE_VET_OK) {
        std::printf("%s: INVALID: %s\n", path.c_str(), vetReason(vet, len, target).c_str());
        return kExitInvalid;
    }
    if (vet.base != 0)
        std::printf("%s: valid STK container, image for target 0x%08x at offset %u, checksum 0x%04x\n", path.c_str(),
                    target, vet.base, vet.stored);
    else
        std::printf("%s: valid image for target 0x%08x, %u bytes, checksum 0x%04x\n", path.c_str(), target,
                    vet.hdr.size, vet.stored);
    for (const auto& w : launchWarnings(file, vet.hdr))
        std::printf("%s: warning: %s; it could not start\n", path.c_str(), w.c_str());
    return kExitValid;
}

// ---- stk ----------------------------------------------------------------------------

int cmdStk(Args& a)
{
    if (wantsHelp(a)) {
        std::fputs(kStkHelp, stdout);
        return kExitValid;
    }
    std::string out;
    std::vector<std::string> inputs;
    while (a.more()) {
        std::string opt = a.next();
        if (opt == "-o" || opt == "--output") out = a.value(opt);
        else if (!opt.empty() && opt[0] == '-') die(kExitUsage, "stk: unknown option '%s' (see tarnimg stk --help)", opt.c_str());
        else inputs.push_back(opt);
    }
    if (out.empty() || inputs.empty())
        die(kExitUsage, "stk: needs -o OUTPUT and at least one IMAGE (see tarnimg stk --help)");
    if (inputs.size() > kMaxStkImages)
        die(kExitUsage, "stk: %zu images given, a container holds at most %u", inputs.size(), kMaxStkImages);

    uint32_t count = static_cast<uint32_t>(inputs.size());
    uint32_t headerLength = STK_FIXED_SIZE + STK_ENTRY_SIZE * count;
    std::vector<uint32_t> offsets, targets;
    Bytes body;
    for (const auto& in : inputs) {
        Bytes img = readFile(in);
        uint32_t len = static_cast<uint32_t>(img.size());
        if (len >= 8 && stkIsContainer(img.data()))
            die(kExitInvalid, "stk: '%s' is an STK container; containers cannot be nested", in.c_str());
        ImageHeader hdr;
        img.resize(len + 16);
        int locate = imageHeaderParse(img.data(), len, 0, &hdr, nullptr);
        if (locate != IMAGE_LOCATE_OK)
            die(kExitInvalid, "stk: '%s': %s", in.c_str(), locateReason(locate));
        ImageVet vet;
        imageVetBuffer(img.data(), len, hdr.targetDevice, &vet);
        img.resize(len);
        if (vet.result != IMAGE_VET_OK)
            die(kExitInvalid, "stk: '%s' is not a valid image: %s", in.c_str(),
                vetReason(vet, len, hdr.targetDevice).c_str());
        for (uint32_t t : targets)
            if (t == hdr.targetDevice)
                die(kExitInvalid, "stk: '%s' is a second image for target 0x%08x; the board would only see the first",
                    in.c_str(), t);
        // The image is stored whole, up to the length it names.
        img.resize(hdr.size);
        offsets.push_back(headerLength + static_cast<uint32_t>(body.size()));
        targets.push_back(hdr.targetDevice);
        body.insert(body.end(), img.begin(), img.end());
    }
    uint64_t total = uint64_t(headerLength) + body.size();
    if (total > IMAGE_MAX_SIZE)
        die(kExitUsage, "stk: the container would be %llu bytes, more than the %u the boot code accepts",
            static_cast<unsigned long long>(total), IMAGE_MAX_SIZE);
    Bytes file(headerLength);
    stkHeaderEncode(count, offsets.data(), targets.data(), static_cast<uint32_t>(total), file.data());
    file.insert(file.end(), body.begin(), body.end());
    seal(file);
    writeFileAtomic(out, file);
    std::printf("%s: STK container, %u images, %zu bytes, checksum 0x%04x\n", out.c_str(), count, file.size(),
                (file[0] << 8) | file[1]);
    for (uint32_t i = 0; i < count; i++)
        std::printf("  entry %u: target 0x%08x at offset %u (%s)\n", i, targets[i], offsets[i], inputs[i].c_str());
    return kExitValid;
}

// ---- info ---------------------------------------------------------------------------

std::string jsonString(const char* s)
{
    std::string out = "\"";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; p++) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
            out += static_cast<char>(*p);
        } else if (*p < 0x20 || *p >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", *p);
            out += buf;
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out + "\"";
}

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

std::string relText(uint8_t rel)
{
    if ((rel >= 'A' && rel <= 'Z') || (rel >= 'a' && rel <= 'z'))
        return std::string(1, static_cast<char>(rel));
    return std::to_string(rel);
}

// The header as decoded at file position base (offsets already absolute).
void headerText(const ImageHeader& h, uint32_t base, const char* indent)
{
    std::printf("%sCRC               0x%04x\n", indent, h.crc);
    std::printf("%sTarget device     0x%08x%s\n", indent, h.targetDevice,
                h.targetDevice == BOARD_TARGET_DEVICE ? " (tarn8541)" : "");
    std::printf("%sSize              %u bytes%s\n", indent, h.size, imageSizeValid(h.size) ? "" : " (outside 1220..16 MiB)");
    std::printf("%sComponents        %u\n", indent, h.numComponents);
    uint32_t slots = h.numComponents < IMAGE_MAX_COMPONENTS ? h.numComponents : IMAGE_MAX_COMPONENTS;
    for (uint32_t i = 0; i < slots; i++) {
        const ComponentRecord& c = h.components[i];
        const char* role = i == 0 ? " (operational code)" : i == 1 ? " (boot code)" : "";
        std::printf("%sComponent %u%s: size %u, offset %u (file position %llu), load address 0x%08x, version %u, "
                    "FLASH flag %u, CRC 0x%04x\n",
                    indent, i, role, c.size, c.offset - base,
                    static_cast<unsigned long long>(IMAGE_HEADER_SIZE) + c.offset, c.loadAddress, c.version,
                    c.flashFlag, c.crc);
    }
    std::printf("%sVPD               rel %s ver %u maint_lvl %u build_num %u\n", indent, relText(h.rel).c_str(), h.ver,
                h.maint_lvl, h.build_num);
    std::printf("%sTimestamp         %s\n", indent, printable(h.timestamp).c_str());
    std::printf("%sFile              %s\n", indent, printable(h.file).c_str());
}

std::string headerJson(const ImageHeader& h, uint32_t base)
{
    std::string s = "{\"crc\": " + std::to_string(h.crc) + ", \"targetDevice\": " + std::to_string(h.targetDevice) +
                    ", \"size\": " + std::to_string(h.size) + ", \"numComponents\": " + std::to_string(h.numComponents) +
                    ", \"components\": [";
    uint32_t slots = h.numComponents < IMAGE_MAX_COMPONENTS ? h.numComponents : IMAGE_MAX_COMPONENTS;
    for (uint32_t i = 0; i < slots; i++) {
        const ComponentRecord& c = h.components[i];
        s += std::string(i ? ", " : "") + "{\"index\": " + std::to_string(i) + ", \"crc\": " + std::to_string(c.crc) +
             ", \"version\": " + std::to_string(c.version) + ", \"size\": " + std::to_string(c.size) +
             ", \"offset\": " + std::to_string(c.offset - base) +
             ", \"filePosition\": " + std::to_string(uint64_t(IMAGE_HEADER_SIZE) + c.offset) +
             ", \"loadAddress\": " + std::to_string(c.loadAddress) + ", \"flashFlag\": " + std::to_string(c.flashFlag) + "}";
    }
    s += "], \"rel\": " + std::to_string(h.rel) + ", \"ver\": " + std::to_string(h.ver) +
         ", \"maint_lvl\": " + std::to_string(h.maint_lvl) + ", \"build_num\": " + std::to_string(h.build_num) +
         ", \"timestamp\": " + jsonString(h.timestamp) + ", \"file\": " + jsonString(h.file) + "}";
    return s;
}

int cmdInfo(Args& a)
{
    if (wantsHelp(a)) {
        std::fputs(kInfoHelp, stdout);
        return kExitValid;
    }
    bool json = false;
    std::string path;
    while (a.more()) {
        std::string opt = a.next();
        if (opt == "--json") json = true;
        else if (!opt.empty() && opt[0] == '-') die(kExitUsage, "info: unknown option '%s' (see tarnimg info --help)", opt.c_str());
        else if (path.empty()) path = opt;
        else die(kExitUsage, "info: one file at a time ('%s', '%s')", path.c_str(), opt.c_str());
    }
    if (path.empty())
        die(kExitUsage, "info: needs a FILE (see tarnimg info --help)");
    Bytes file = readFile(path);
    uint32_t len = static_cast<uint32_t>(file.size());
    file.resize(len + 16);
    uint16_t stored = static_cast<uint16_t>((file[0] << 8) | file[1]);
    uint32_t length = checksumLength(file.data());
    bool complete = length >= 2 && length <= len;
    uint16_t computed = complete ? imageCrc16(file.data() + 2, length - 2) : 0;
    bool stk = len >= STK_FIXED_SIZE && stkIsContainer(file.data());

    if (!stk) {
        ImageHeader h;
        if (len < IMAGE_HEADER_SIZE)
            die(kExitInvalid, "info: '%s' is %u bytes, shorter than an image header (%u)", path.c_str(), len,
                IMAGE_HEADER_SIZE);
        imageHeaderResolve(file.data(), 0, &h);
        if (json) {
            std::printf("{\"path\": %s, \"kind\": \"image\", \"fileLength\": %u, \"checksumLength\": %u, "
                        "\"crcStored\": %u, \"crcComputed\": %s, \"crcMatches\": %s, \"image\": %s}\n",
                        jsonString(path.c_str()).c_str(), len, length, stored,
                        complete ? std::to_string(computed).c_str() : "null",
                        complete && computed == stored ? "true" : "false", headerJson(h, 0).c_str());
        } else {
            std::printf("%s: plain image, %u bytes\n", path.c_str(), len);
            headerText(h, 0, "  ");
            if (complete)
                std::printf("  Checksum          %s (computed 0x%04x over bytes 2..%u)\n",
                            computed == stored ? "matches" : "DOES NOT MATCH", computed, length);
            else
                std::printf("  Checksum          cannot be computed: the file is %u bytes, the header names %u\n", len, length);
        }
        return kExitValid;
    }

    if (stkDirectoryCheck(file.data()) != IMAGE_LOCATE_OK || len < stkHeaderLength(file.data()))
        die(kExitInvalid, "info: '%s': %s", path.c_str(),
            len < stkHeaderLength(file.data()) ? locateReason(IMAGE_LOCATE_SHORT) : locateReason(IMAGE_LOCATE_STK_INVALID));
    uint32_t count = stkEntryCount(file.data());
    std::string entries;
    if (!json) {
        std::printf("%s: STK container, %u bytes, %u entries, total length %u, header length %u\n", path.c_str(), len,
                    count, stkTotalLength(file.data()), stkHeaderLength(file.data()));
        if (complete)
            std::printf("  Checksum          0x%04x %s (computed 0x%04x over bytes 2..%u)\n", stored,
                        computed == stored ? "matches" : "DOES NOT MATCH", computed, length);
        else
            std::printf("  Checksum          0x%04x cannot be computed: the file is %u bytes, the container names %u\n",
                        stored, len, length);
    }
    for (uint32_t i = 0; i < count; i++) {
        uint32_t offset, target;
        stkEntryGet(file.data(), i, &offset, &target);
        bool whole = offset <= len && len - offset >= IMAGE_HEADER_SIZE;
        ImageHeader h;
        if (whole)
            imageHeaderResolve(file.data() + offset, offset, &h);
        if (json) {
            entries += std::string(i ? ", " : "") + "{\"index\": " + std::to_string(i) + ", \"imageOffset\": " +
                       std::to_string(offset) + ", \"targetDevice\": " + std::to_string(target) +
                       ", \"image\": " + (whole ? headerJson(h, offset) : "null") + "}";
        } else {
            std::printf("  Entry %u: target 0x%08x, image at offset %u\n", i, target, offset);
            if (whole)
                headerText(h, offset, "    ");
            else
                std::printf("    (no whole image header there: the file ends first)\n");
        }
    }
    if (json)
        std::printf("{\"path\": %s, \"kind\": \"stk\", \"fileLength\": %u, \"checksumLength\": %u, \"crcStored\": %u, "
                    "\"crcComputed\": %s, \"crcMatches\": %s, \"entryCount\": %u, \"headerLength\": %u, "
                    "\"entries\": [%s]}\n",
                    jsonString(path.c_str()).c_str(), len, length, stored,
                    complete ? std::to_string(computed).c_str() : "null",
                    complete && computed == stored ? "true" : "false", count, stkHeaderLength(file.data()),
                    entries.c_str());
    return kExitValid;
}

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

int cmdConfig(Args& a)
{
    if (wantsHelp(a)) {
        std::fputs(kConfigHelp, stdout);
        return kExitValid;
    }
    bool raw = false;
    std::string path;
    while (a.more()) {
        std::string opt = a.next();
        if (opt == "--raw") raw = true;
        else if (!opt.empty() && opt[0] == '-') die(kExitUsage, "config: unknown option '%s' (see tarnimg config --help)", opt.c_str());
        else if (path.empty()) path = opt;
        else die(kExitUsage, "config: one file at a time ('%s', '%s')", path.c_str(), opt.c_str());
    }
    if (path.empty())
        die(kExitUsage, "config: needs a FILE (see tarnimg config --help)");
    Bytes file = readFile(path);
    std::string text;
    std::string err = configDecode(file, &text);
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

} // namespace

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
