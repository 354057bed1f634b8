// create.cpp - tarnimg create (an image from a code payload and a boot code)
// and tarnimg stk (plain images packed into an STK container).
#include "bsp/cpu/tarn8541/vxworks/start/bootLaunch.h"
#include "image/bootCodeUpdate.h"
#include "tools/tarnimg/tarnimg.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace tarnimg {

namespace {

constexpr uint32_t kDefaultLoad = 0x00100000u;
constexpr size_t kTimestampMax = 31;              // 32-byte field with its NUL
constexpr size_t kFileNameMax = 399;              // 400-byte field with its NUL
constexpr uint32_t kMaxStkImages = (STK_HEADER_BUF_SIZE - STK_FIXED_SIZE) / STK_ENTRY_SIZE;

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
    "  --boot-code FILE        boot code as component 1: what main menu option 7\n"
    "                          writes over the boot flash's top megabyte\n"
    "                          (0xFFF00000-0xFFFFFFFF), so exactly 1048576 bytes\n"
    "                          (0x100000), its last word the reset vector that the\n"
    "                          processor starts from (not 0xFFFFFFFF, erased flash)\n"
    "  --allow-short-boot-code take a boot code that option 7 refuses (shorter, or\n"
    "                          its last word 0xFFFFFFFF), to test the refusal\n"
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

} // namespace

int cmdCreate(Args& a)
{
    if (wantsHelp(a)) {
        std::fputs(kCreateHelp, stdout);
        return kExitValid;
    }
    std::string out, payloadPath, bootPath, timestamp, fileName;
    bool haveTimestamp = false, haveFile = false, allowShortBoot = false;
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
        else if (opt == "--allow-short-boot-code") allowShortBoot = true;
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
    for (const std::string* text : {&timestamp, &fileName})
        for (unsigned char c : *text)
            if (c < 0x20 || c == 0x7F)
                die(kExitUsage, "create: --%s holds control character 0x%02x; the header's text is shown as text",
                    text == &timestamp ? "timestamp" : "file", c);
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
        if (boot.size() > BOOT_FLASH_SIZE)
            die(kExitUsage, "create: boot code '%s' is %zu bytes, the boot region holds %u", bootPath.c_str(),
                boot.size(), BOOT_FLASH_SIZE);
        int fit = bootCodeCheck(boot.data(), static_cast<uint32_t>(boot.size()));
        if (fit == BOOT_CODE_WRONG_SIZE && !allowShortBoot)
            die(kExitUsage, "create: boot code '%s' is %zu bytes; option 7 writes only a boot code of exactly %u "
                "bytes (0x%x), ending in the reset vector (see tarnimg create --help)", bootPath.c_str(), boot.size(),
                BOOT_FLASH_SIZE, BOOT_FLASH_SIZE);
        if (fit == BOOT_CODE_NO_RESET_VECTOR && !allowShortBoot)
            die(kExitUsage, "create: boot code '%s' ends in 0xFFFFFFFF where the reset vector belongs; option 7 "
                "refuses it (see tarnimg create --help)", bootPath.c_str());
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

} // namespace tarnimg
