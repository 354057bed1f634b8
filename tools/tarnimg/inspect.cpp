// inspect.cpp - tarnimg info (an image's or container's header as text or
// JSON) and tarnimg verify (the board's verdict, and why an image it accepts
// could still not start).
#include "bsp/cpu/tarn8541/vxworks/start/bootLaunch.h"
#include "image/bootCodeUpdate.h"
#include "image/imageLoad.h"
#include "tools/tarnimg/tarnimg.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>

namespace tarnimg {

namespace {

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
    "A boot code (component 1) must lie within that length, as the load demands.\n"
    "Prints the verdict and the reason. Warnings say when a valid image still\n"
    "could not start (no code component, a load address outside the code load\n"
    "area or not word-aligned, a deflate stream that is corrupt or does not end\n"
    "within the file), and when option 7 would refuse its boot code (anything\n"
    "but exactly 1048576 bytes whose last word, the reset vector, is not\n"
    "0xFFFFFFFF).\n"
    "\n"
    "  --target ID             the target device (default 0x00508541, this board)\n"
    "\n"
    "Exit status: 0 valid, 1 invalid, 2 usage or I/O error.\n";

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
    if (c.loadAddress % 4 != 0) {
        std::snprintf(buf, sizeof buf, "load address 0x%08x is not word-aligned: the processor cannot enter code there",
                      c.loadAddress);
        w.push_back(buf);
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

} // namespace

int cmdVerify(Args& a)
{
    if (wantsHelp(a)) {
        std::fputs(kVerifyHelp, stdout);
        return kExitValid;
    }
    uint32_t target = BOARD_TARGET_DEVICE;
    std::string path = oneFileArg(a, "verify", [&](const std::string& opt) {
        if (opt != "--target") return false;
        target = parseU32(opt, a.value(opt));
        return true;
    });
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
    const ComponentRecord& boot = vet.hdr.components[1];
    if (boot.size != 0 && !imageBootCodeInside(boot.size, boot.offset, vet.length)) {
        std::printf("%s: INVALID: the boot code (component 1, %u bytes at file position %llu) does not lie within "
                    "the %u bytes of the image, so the load refuses it\n", path.c_str(), boot.size,
                    static_cast<unsigned long long>(IMAGE_HEADER_SIZE) + boot.offset, vet.length);
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
    if (boot.size != 0) {
        int fit = bootCodeCheck(file.data() + IMAGE_HEADER_SIZE + boot.offset, boot.size);
        if (fit == BOOT_CODE_WRONG_SIZE)
            std::printf("%s: warning: the boot code is %u bytes, not the %u of the boot region; option 7 would "
                        "refuse it\n", path.c_str(), boot.size, BOOT_FLASH_SIZE);
        else if (fit == BOOT_CODE_NO_RESET_VECTOR)
            std::printf("%s: warning: the boot code ends in 0xFFFFFFFF where the reset vector belongs; option 7 "
                        "would refuse it\n", path.c_str());
    }
    return kExitValid;
}

int cmdInfo(Args& a)
{
    if (wantsHelp(a)) {
        std::fputs(kInfoHelp, stdout);
        return kExitValid;
    }
    bool json = false;
    std::string path = oneFileArg(a, "info", [&](const std::string& opt) {
        if (opt != "--json") return false;
        json = true;
        return true;
    });
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
        if (!imageSizeValid(h.size))
            die(kExitInvalid, "info: '%s' is not an image: its size field reads %u, outside 1220..16777216",
                path.c_str(), h.size);
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

} // namespace tarnimg
