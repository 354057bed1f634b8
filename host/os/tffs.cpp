// tffs.cpp - the stand-in for TrueFFS under "/DskVol/".
//
// The flash translation layer and the DOS file system themselves are not
// modelled: files live in the volume directory (files*.cpp). What is kept is
// the flash disk's dependence on the NOR flash: the board's socket, identify,
// map, write and erase routines are the only way to the flash, and a format
// record at the start of the flash disk region says whether the medium holds
// a file system. A region without a valid record does not mount; a format
// erases every unit through the erase routine (with progress), empties the
// volume directory and writes the record last through the write routine. So
// erasing the start of the region loses the file system, and a power cut
// during a format never leaves a "formatted" volume holding old files.
//
// The format record, 64 bytes big-endian at flash disk address 0:
//    0  "TARNFTL1"
//    8  erase unit size          12  erase units
//   16  spare units              20  percentage of the medium used
//   24  cluster size in bytes    28  clusters of the DOS volume
//   32  FAT copies               36  calendar time of the format
//   40  zero (20 bytes)          60  CRC-32 (zlib) of bytes 0..59
// The volume's clusters: the units less the spare ones and one for the
// translation tables, times the percentage used, in whole clusters.
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/tffs.h"
#include "host/board/board.h"
#include "host/os/hostos.h"
#include "osapi.h"

#include <cstring>
#include <vector>
#include <zlib.h>

namespace host {
namespace {

constexpr uint32_t kRecordSize = 64;
constexpr char kRecordMagic[8] = {'T', 'A', 'R', 'N', 'F', 'T', 'L', '1'};

struct Registry {
    std::vector<vx::FlSocket*> sockets;
    std::vector<vx::FlIdentifyRoutine> mtds;
};

Registry& registry()
{
    static Registry r;
    return r;
}

void put32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

uint32_t get32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// The clusters a format with these parameters gives (0: too small).
uint32_t volumeClusters(uint32_t unitSize, uint32_t units, uint32_t spare, uint32_t percent, uint32_t clusterBytes)
{
    if (units < spare + 2 || clusterBytes == 0) return 0;
    uint64_t bytes = uint64_t(units - spare - 1) * unitSize * percent / 100;
    uint64_t clusters = bytes / clusterBytes;
    return clusters > 0x7FFFFFFF ? 0x7FFFFFFF : uint32_t(clusters);
}

// Identifies the flash of a drive through its socket: 0 or a TrueFFS status.
int deviceIdentify(int drive, vx::FlFlash& flash)
{
    vx::FlSocket* s = registry().sockets[size_t(drive)];
    if (s->initSocket && s->initSocket(s) != vx::FL_OK) return vx::FL_UNKNOWN_MEDIA;
    int rc = vx::FL_UNKNOWN_MEDIA;
    for (auto identify : registry().mtds) {
        flash = vx::FlFlash{};
        flash.socket = s;
        rc = identify(s, &flash);
        if (rc == vx::FL_OK) break;
    }
    if (rc != vx::FL_OK) return rc;
    if (flash.erasableBlockSize == 0 || flash.chipSize / flash.erasableBlockSize == 0 || !flash.map ||
        !flash.write || !flash.erase)
        return vx::FL_UNKNOWN_MEDIA;
    return vx::FL_OK;
}

// Reads the format record through the map routine; the volume's clusters, or
// 0 when the medium holds no valid format for this flash.
uint32_t recordClusters(vx::FlFlash& flash, uint32_t clusterBytes)
{
    uint8_t rec[kRecordSize];
    uint32_t addr = flash.map(&flash, 0, int(kRecordSize));
    for (uint32_t i = 0; i < kRecordSize; ++i) {
        uint32_t v = 0;
        if (!board().bus().read(addr + i, 1, v)) return 0;
        rec[i] = uint8_t(v);
    }
    if (std::memcmp(rec, kRecordMagic, sizeof kRecordMagic) != 0) return 0;
    if (get32(rec + 60) != uint32_t(crc32(0, rec, 60))) return 0;
    const uint32_t unitSize = get32(rec + 8), units = get32(rec + 12);
    if (unitSize != flash.erasableBlockSize || units != flash.chipSize / flash.erasableBlockSize) return 0;
    if (get32(rec + 24) != clusterBytes) return 0;
    const uint32_t clusters = get32(rec + 28);
    const uint32_t most = volumeClusters(unitSize, units, get32(rec + 16), get32(rec + 20), clusterBytes);
    return clusters <= most ? clusters : 0;
}

} // namespace

void tffsStart()
{
    registry() = Registry{};
    sysTffsInit();
}

uint32_t tffsVolumeClusters(uint32_t unitSize, uint32_t units, uint32_t spare, uint32_t percent,
                            uint32_t clusterBytes)
{
    return volumeClusters(unitSize, units, spare, percent, clusterBytes);
}

} // namespace host

namespace vx {

int tffsSocketRegister(FlSocket* socket)
{
    auto& r = host::registry();
    if (!socket) return FL_BAD_PARAMETER;
    if (r.sockets.size() >= size_t(FL_SOCKETS)) return FL_TOO_MANY_COMPONENTS;
    r.sockets.push_back(socket);
    return FL_OK;
}

int tffsMtdRegister(FlIdentifyRoutine identify)
{
    auto& r = host::registry();
    if (!identify) return FL_BAD_PARAMETER;
    if (r.mtds.size() >= size_t(FL_SOCKETS)) return FL_TOO_MANY_COMPONENTS;
    r.mtds.push_back(identify);
    return FL_OK;
}

int usrTffsConfig(int drive, int /*removable*/, const char* fileName)
{
    const int drives = int(host::registry().sockets.size());
    if (drive < 0 || drive >= drives) {
        printf("drive is out of range (0-%d).\n", drives - 1);
        return ERROR;
    }
    host::filesVolumeUnmount();
    FlFlash flash{};
    uint32_t clusters = 0;
    const uint32_t clusterBytes = host::VolumeConfig{}.clusterBytes;
    if (host::deviceIdentify(drive, flash) != FL_OK || (clusters = host::recordClusters(flash, clusterBytes)) == 0) {
        printf("tffsDevCreate failed.\n");
        return ERROR;
    }
    return host::filesVolumeMount(fileName, clusters) == 0 ? OK : ERROR;
}

int tffsDevFormat(int drive, const TffsDevFormatParams* params)
{
    if (drive < 0 || drive >= int(host::registry().sockets.size())) return FL_BAD_DRIVE_HANDLE;
    if (!params || !(params->formatFlags & TL_FORMAT)) return FL_BAD_PARAMETER;
    const FormatParams& fp = params->formatParams;
    if (fp.percentUse == 0 || fp.percentUse > 100 || fp.bootImageLen != 0) return FL_BAD_PARAMETER;
    FlFlash flash{};
    if (int rc = host::deviceIdentify(drive, flash); rc != FL_OK) return rc;
    const uint32_t units = flash.chipSize / flash.erasableBlockSize;
    const uint32_t clusterBytes = host::VolumeConfig{}.clusterBytes;
    const uint32_t clusters =
        host::volumeClusters(flash.erasableBlockSize, units, fp.noOfSpareUnits, fp.percentUse, clusterBytes);
    if (clusters == 0) return FL_VOLUME_TOO_SMALL;

    host::filesVolumeUnmount();
    for (uint32_t u = 0; u < units; ++u) {
        if (int rc = flash.erase(&flash, int(u), 1); rc != FL_OK) return rc;
        if (fp.progressCallback) {
            if (int rc = fp.progressCallback(int(units), int(u + 1)); rc != 0) return rc;
        }
    }
    if (host::filesVolumeFormat() != 0) return FL_WRITE_FAULT;

    uint8_t rec[host::kRecordSize] = {};
    std::memcpy(rec, host::kRecordMagic, sizeof host::kRecordMagic);
    host::put32(rec + 8, flash.erasableBlockSize);
    host::put32(rec + 12, units);
    host::put32(rec + 16, fp.noOfSpareUnits);
    host::put32(rec + 20, fp.percentUse);
    host::put32(rec + 24, clusterBytes);
    host::put32(rec + 28, clusters);
    host::put32(rec + 32, fp.noOfFATcopies);
    host::put32(rec + 36, time(nullptr));
    host::put32(rec + 60, uint32_t(crc32(0, rec, 60)));
    return flash.write(&flash, 0, rec, int(host::kRecordSize));
}

} // namespace vx
