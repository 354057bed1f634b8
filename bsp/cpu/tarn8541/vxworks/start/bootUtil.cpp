/*
 * bootUtil.cpp - the boot code utilities menu: service and manufacturing
 * functions behind the unlisted main menu choice 30.
 */
#include "bsp/cpu/tarn8541/vxworks/start/bootUtil.h"

#include "bsp/cpu/tarn8541/vxworks/mpc85xx/flashDev.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/hwInfo.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/rtc.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/tffs.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/vpd.h"
#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"
#include "bsp/cpu/tarn8541/vxworks/start/bootMemTest.h"
#include "osapi.h"

#include <cstring>

namespace {

constexpr int kListingLen = 4096;
constexpr int kListingLineLen = 128;
constexpr int kNameColumn = 34;
constexpr int kCwdLen = 256;
constexpr int kLastOption = 17;
constexpr uint32_t kFlashDiskStart = 0xFE000000u;
constexpr uint32_t kFlashDiskFormatEnd = 0xFE040000u;

void bootUtilMenuPrint()
{
    vx::printf("\nBoot code utilities menu\nOptions are:\n");
    vx::printf("1  - Read/Write memory\n");
    vx::printf("2  - Display PCI bus\n");
    vx::printf("3  - Display PCI bus details\n");
    vx::printf("4  - Display core info and bus speeds\n");
    vx::printf("5  - Display file system details\n");
    vx::printf("6  - RAM test\n");
    vx::printf("7  - File system directory listing\n");
    vx::printf("8  - Generate and store VPD info\n");
    vx::printf("9  - CPLD diagnostics\n");
    vx::printf("10 - Switch diagnostics\n");
    vx::printf("11 - Format file system\n");
    vx::printf("12 - File system test\n");
    vx::printf("13 - List Main Menu Options\n");
    vx::printf("14 - Show RTC\n");
    vx::printf("15 - Set RTC\n");
    vx::printf("16 - Dump VPD EEPROM\n");
    vx::printf("17 - Delete a file\n");
    vx::printf("0  - Return to main menu");
    vx::printf("\nSelect option (0-17): ");
}

void bootDeleteFile()
{
    char name[BOOT_LINE_LEN] = {};
    vx::printf("Input filename - ");
    vx::fflushStdout();
    if (!bootReadLine(name)) name[0] = '\0';
    if (vx::remove(name) != vx::OK) vx::printf("Are you sure that file exists? Try again...\n");
}

/* A line cut at the end of its buffer still ends the listing line. */
void bootDirLineEnd(char* line, int formatted)
{
    if (formatted >= kListingLineLen) line[kListingLineLen - 2] = '\n';
}

/* One listing line for a directory entry; adds a file's size to *used. */
void bootDirLine(const char* name, char* line, uint32_t* used)
{
    std::memset(line, 0, kListingLineLen);
    vx::Stat st;
    bool haveStat = vx::stat(name, &st) == vx::OK;
    if (haveStat && (st.mode & vx::MODE_IFMT) == vx::MODE_IFDIR) {
        bootDirLineEnd(line, vx::snprintf(line, kListingLineLen, "%s\n", name));
        return;
    }
    if (!haveStat) st = vx::Stat{0, 0, 0};
    int pad = kNameColumn - int(std::strlen(name));
    std::tm tm{};
    vx::Time mtime = st.mtime;
    vx::localtime_r(&mtime, &tm);
    int n = vx::snprintf(line, kListingLineLen, "%s%*s%-10lu %d/%d/%d %d:%.2d:%.2d\n", name, pad > 0 ? pad : 0, "",
                         static_cast<unsigned long>(st.size), tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900,
                         tm.tm_hour, tm.tm_min, tm.tm_sec);
    bootDirLineEnd(line, n);
    *used += st.size;
}

} // namespace

void bootDirListing()
{
    char* text = static_cast<char*>(vx::malloc(kListingLen));
    if (!text) {
        vx::printf("ERROR: not enough memory for the directory listing\n\n");
        return;
    }
    char cwd[kCwdLen];
    vx::DirStream* dir = vx::getcwd(cwd, sizeof cwd) ? vx::opendir(cwd) : nullptr;
    if (!dir) {
        vx::printf("Could not open directory!\n\n");
        vx::free(text);
        return;
    }
    std::memset(text, 0, kListingLen);
    size_t length = 0;
    uint32_t used = 0;
    bool full = false;
    char line[kListingLineLen];
    while (vx::Dirent* entry = vx::readdir(dir)) {
        bootDirLine(entry->d_name, line, &used);
        size_t n = std::strlen(line);
        if (full || length + n >= size_t(kListingLen)) {
            full = true; /* keep counting the bytes used, stop adding lines */
            continue;
        }
        std::memcpy(text + length, line, n + 1);
        length += n;
    }

    vx::StatFs fs{0, 0, 0};
    int fd = vx::open("dummy1", vx::CREAT | vx::RDWR, 0644);
    if (fd >= 0) {
        vx::fstatfs(fd, &fs);
        vx::close(fd);
        vx::remove("dummy1");
    }
    /* The board's 32-bit long arithmetic. */
    int32_t size = int32_t(uint32_t(fs.f_bsize) * uint32_t(fs.f_blocks));
    int32_t free = int32_t(uint32_t(size) - used);
    vx::closedir(dir);
    vx::printf("%s", text);
    if (full) vx::printf("(listing cut: more entries than fit in the listing)\n");
    vx::printf("\nFilesystem size %d\n", int(size));
    vx::printf("Bytes used      %d\n", int(int32_t(used)));
    vx::printf("Bytes free      %d\n", int(free));
    vx::free(text);
}

void bootUtilMenu()
{
    for (;;) {
        bootUtilMenuPrint();
        vx::fflushStdout();
        uint8_t option = bootReadNumber();
        if (option > kLastOption) continue;
        switch (option) {
        case 0:
            return;
        case 1:
            bootMemCommand();
            break;
        case 2:
            pciBusShow(0);
            break;
        case 3:
            pciBusShow(1);
            break;
        case 4:
            coreInfoShow();
            break;
        case 5:
            vx::dosFsShow("/DskVol/", 2);
            break;
        case 6:
            bootRamTest();
            break;
        case 7:
            bootDirListing();
            break;
        case 8:
            vpdGenerate();
            break;
        case 9:
            vx::printf("NOT Supported on this Platform\n");
            break;
        case 10:
            vx::printf("Use Main Boot Menu for this option\n");
            break;
        case 11:
            Flash_Erase(kFlashDiskStart, kFlashDiskFormatEnd);
            tffsPPCInit();
            break;
        case 12:
            bootFsTest();
            break;
        case 13:
            bootMenuPrint(1);
            break;
        case 14:
            rtcShow();
            break;
        case 15:
            rtcSetDialog();
            break;
        case 16:
            vpdDump(0, 256);
            break;
        case 17:
            bootDeleteFile();
            break;
        default:
            break;
        }
    }
}
