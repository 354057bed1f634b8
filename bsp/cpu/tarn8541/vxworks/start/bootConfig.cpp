/*
 * bootConfig.cpp - the boot application: start-up, the autoboot prompt, the
 * main boot menu.
 */
#include "bsp/cpu/tarn8541/vxworks/start/bootConfig.h"

#include "bsp/cpu/tarn8541/vxworks/mpc85xx/flashDev.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/i2cLib.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/rtc.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/tffs.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/vpd.h"
#include "bsp/cpu/tarn8541/vxworks/start/bootLaunch.h"
#include "bsp/cpu/tarn8541/vxworks/start/bootUtil.h"
#include "cli/cliTxtCfg.h"
#include "image/bootCodeUpdate.h"
#include "image/dim.h"
#include "image/image.h"
#include "image/imageActivate.h"
#include "image/imageInfo.h"
#include "image/imageLoad.h"
#include "log/eventLog.h"
#include "log/log.h"
#include "xmodem/xmodem.h"
#include "osapi.h"

#include <cstring>

const char* const bootVersion = "Version: 28 Apr 2008";

namespace {

const char* const kSourceName = "bootConfig";
const char* const kBootCodeFile = "bootcode.bin";
constexpr int kCwdLen = 256;
constexpr int kVpdScratchLen = 256;

const uint32_t bootBaudRateTable[8] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

/* Menu state: whether the CRC of the operational code and the presence of the
 * diagnostics image are known, and their results. */
struct MenuState {
    int opInvalid;
    int opDone;
    int diagInvalid;
    int diagDone;
};

void bootSetBaud(uint32_t speed, int line)
{
    if (vx::ioctl(vx::STD_IN, vx::FIOBAUDRATE, intptr_t(speed)) == vx::ERROR)
        vx::printf("%s:%d: Attempt to set baudrate to %d failed\n", kSourceName, line, int(speed));
}

void bootPrintCwd()
{
    char cwd[kCwdLen];
    if (vx::getcwd(cwd, sizeof cwd)) vx::printf("%s\n", cwd);
}

void bootBaudDialog()
{
    for (;;) {
        vx::printf("\n\nSelect baud rate:\n");
        for (int i = 0; i < 8; ++i) vx::printf("%d - %d\n", i + 1, int(bootBaudRateTable[i]));
        vx::printf("0 - no change\n");
        vx::printf("-> ");
        vx::fflushStdout();
        uint8_t choice = bootReadNumber();
        if (choice > 8) {
            vx::printf("\nERROR: Invalid Option:\n\n");
            continue;
        }
        if (choice == 0) {
            vx::printf("\nBaud rate is not changed\n");
            return;
        }
        line_speed = int32_t(bootBaudRateTable[choice - 1]);
        vx::printf("\nSetting baud rate to %d, you must change your terminal baud rate.\n", int(line_speed));
        vx::fflushStdout();
        vx::taskDelay(vx::sysClkRateGet());
        bootSetBaud(uint32_t(line_speed), __LINE__);
        return;
    }
}

/* Removes the configuration files of the current directory: regular files
 * whose names contain ".cfg" or "startup-config". */
void bootFactoryDefaults()
{
    char cwd[kCwdLen];
    vx::DirStream* dir = vx::getcwd(cwd, sizeof cwd) ? vx::opendir(cwd) : nullptr;
    if (!dir) {
        vx::printf("Could not open directory?!\n\n");
        return;
    }
    while (vx::Dirent* entry = vx::readdir(dir)) {
        vx::Stat st;
        if (vx::stat(entry->d_name, &st) != vx::OK) continue;
        if ((st.mode & vx::MODE_IFMT) != vx::MODE_IFREG) continue;
        if (std::strstr(entry->d_name, ".cfg") || std::strstr(entry->d_name, "startup-config"))
            vx::remove(entry->d_name);
    }
    vx::closedir(dir);
}

void bootUpdateBootCode()
{
    int fd = vx::open(kBootCodeFile, vx::RDWR, 0);
    if (fd < 0) {
        vx::printf("\nERROR: Could not open file %s\n", kBootCodeFile);
        return;
    }
    vx::close(fd);
    vx::printf("Do you wish to update Boot Code? (y/n) ");
    vx::fflushStdout();
    char answer = bootReadAnswer();
    if (answer == 'y' || answer == 'Y') {
        if (bootCodeUpdate(kBootCodeFile) == 0)
            vx::printf("Boot code updated\n");
        else
            vx::printf("\nERROR: Could not update boot code\n");
    } else {
        vx::printf("\n\nUpdate aborted.\n");
    }
}

void bootDeleteOpCode(MenuState& st)
{
    vx::printf("\nAre you SURE you want to delete operational code : %s ? (y/n):", bootImageName);
    vx::fflushStdout();
    char answer = bootReadAnswer();
    if (answer != 'y' && answer != 'Y') {
        vx::printf("Code not deleted.\n");
        return;
    }
    vx::Stat s;
    if (vx::remove(bootImageName) != vx::OK && vx::stat(bootImageName, &s) == vx::OK) {
        /* The file is still there: say so rather than report a deletion. */
        vx::printf("\nERROR: Could not delete %s: %s\n", bootImageName, vx::strerror(vx::errnoGet()));
        return;
    }
    vx::printf("Operational code deleted...\n");
    st.opInvalid = 1;
}

/* Checks the active image now if the start-up skipped it (diagnostics mode). */
void bootOpCrcIfPending(MenuState& st)
{
    if (diagModeGet() == DIAG_MODE_DIAG && st.opDone == 0) {
        st.opInvalid = imageActiveCrcCheck();
        st.opDone = 1;
    }
}

void bootMenuChoice(int choice, MenuState& st)
{
    switch (choice) {
    case 1:
        bootOpCrcIfPending(st);
        if (st.opInvalid == 0) {
            diagModeSet(DIAG_MODE_OPCODE);
            bootStartOpCode(1);
        } else {
            vx::printf("ERROR: Operational code CRC is not valid, you must load new code.\n\n");
        }
        break;
    case 2:
        bootBaudDialog();
        break;
    case 3:
        vx::printf("Sending event log, start XMODEM receive.....\n");
        vx::taskDelay(10);
        eventLogSend();
        break;
    case 4:
        if (imageOpCodeLoad(BOARD_TARGET_DEVICE) != 0) {
            vx::printf("Error loading code...\n");
            st.opInvalid = 1;
        } else {
            st.opInvalid = imageActiveCrcCheck();
        }
        st.opDone = 1;
        break;
    case 5:
        if (configLoad() != 0) vx::printf("Error loading configuration...\n");
        break;
    case 6:
        bootOpCrcIfPending(st);
        if (st.opInvalid != 0)
            vx::printf("\nERROR: Operational code CRC is not valid.\n");
        else
            imageInfoShow();
        break;
    case 7:
        bootUpdateBootCode();
        break;
    case 8:
        bootDeleteOpCode(st);
        break;
    case 9: {
        vx::printf("\nAre you SURE you want to reset the system? (y/n):");
        vx::fflushStdout();
        char answer = bootReadAnswer();
        if (answer == 'y' || answer == 'Y') vx::sysReset();
        break;
    }
    case 10:
        bootFactoryDefaults();
        break;
    case 11:
        if (imageBackupActivate() != 0)
            vx::printf("Failed to activate Backup Image.\n");
        else
            st.opInvalid = 0;
        break;
    case 12:
        if (diagModeGet() == DIAG_MODE_OPCODE && st.diagDone == 0) {
            st.diagInvalid = diagImageExists();
            st.diagDone = 1;
        }
        if (st.diagInvalid == 0) {
            diagModeSet(DIAG_MODE_DIAG);
            bootStartDiag();
        } else {
            vx::printf("ERROR: Diag code CRC is not valid, you must load new code.\n\n");
        }
        break;
    case 13:
        if (imageDiagLoad(BOARD_TARGET_DEVICE) != 0) {
            vx::printf("Error loading diag code...\n");
            st.diagInvalid = 1;
        } else {
            st.diagInvalid = diagImageExists();
        }
        st.diagDone = 1;
        break;
    case 21: {
        bootPrintCwd();
        vx::printf("Attempting to create test file...\n");
        int fd = vx::open("testfile", vx::CREAT | vx::RDWR, 0644);
        if (fd < 0)
            vx::printf("creat returned ERROR.\n");
        else
            vx::close(fd);
        bootPrintCwd();
        imageActiveCrcCheck();
        break;
    }
    case 22:
        bootPrintCwd();
        imageActiveCrcCheck();
        break;
    case 23: {
        bootPrintCwd();
        vx::cd("/DskVol/");
        bootPrintCwd();
        char cwd[kCwdLen];
        if (vx::getcwd(cwd, sizeof cwd)) vx::llr(cwd);
        break;
    }
    case 24:
        dimShow();
        break;
    case 30:
        bootUtilMenu();
        break;
    case BOOT_MENU_REDISPLAY:
        bootMenuPrint(0);
        break;
    default:
        break;
    }
}

} // namespace


int bootAutobootPrompt(int kind)
{
    for (;;) {
        vx::printf("Select an option. If no selection in 2 seconds then\n");
        if (kind == AUTOBOOT_KIND_OPCODE) {
            vx::printf("operational code will start.\n\n");
            vx::printf("1 - Start operational code.\n");
        } else {
            vx::printf("diagnostics will start.\n\n");
            vx::printf("1 - Start diagnostic code.\n");
        }
        vx::printf("2 - Start Boot Menu.\n");
        vx::printf("Select (1, 2):");
        vx::fflushStdout();

        if (vx::selectStdin(2, 0) == 0) {
            vx::printf("\n");
            return AUTOBOOT_START;
        }
        char line[BOOT_LINE_LEN] = {};
        if (!bootReadLine(line)) return AUTOBOOT_START;
        vx::printf("\n");
        line[1] = '\0';
        int32_t value = bootDecimal(line);
        if (value == 2) return AUTOBOOT_MENU;
        if (value == 1 || line[0] == '\0') return AUTOBOOT_START;
    }
}

void bootMain()
{
    int options = vx::ioctl(vx::STD_IN, vx::FIOGETOPTIONS, 0);
    vx::ioctl(vx::STD_IN, vx::FIOSETOPTIONS, options & ~vx::OPT_MON_TRAP);

    line_speed = 9600;
    bootSetBaud(9600, __LINE__);

    vx::fflushStdout();
    for (int i = 0; i < 25; ++i) vx::printf("\n");

    i2cInit(0x90, 0x10, 0x3F);
    flashDevProbe();
    flashAccessLockCreate();
    rtcLoadSystemClock();

    if (tffsPPCInit() != 0) {
        vx::printf("\n\nERROR: tffsPPCInit failed.\n       Boot cannot continue.\n"
                   "       Code halted. Manual reset required.\n\n");
        vx::fflushStdout();
        for (;;) vx::taskDelay(vx::sysClkRateGet());
    }
    if (vx::chdir("/DskVol/") != vx::OK) vx::printf("TFFS: chdir failed.\n");
    vx::mkdir("files");
    vx::cd("files");

    uint8_t vpd[kVpdScratchLen];
    vpdEepromRead(0, vpd, sizeof vpd);
    eventLogOpen(16384, nullptr, 5, 2, 7);
    logInit();

    int r = dimInitialize();
    if (r != 0) {
        vx::printf("dimInitialize returned %d \n", r);
        vx::rename("code.bin", "image1"); /* never replaces an existing image1 */
        vx::printf("adding the default image - %s to the list\n", "image1");
        int r2 = dimImageAdd("image1");
        if (r2 < 0) vx::printf("dimImageAdd returned %d \n", r2);
    }
    cliTxtCfgReplaceComplete(CLI_TXT_CFG_STARTUP);
    imageDiagReplaceComplete();

    vx::printf("Boot Menu %s\n", bootVersion);
    vx::fflushStdout();

    bool crcFailed;
    if (diagModeGet() != DIAG_MODE_DIAG) {
        vx::printf("\nCalculating CRC of active image...");
        crcFailed = imageActiveCrcCheck() != 0;
        if (!crcFailed) vx::printf("done...\n");
    } else if (diagImageExists() == 0) {
        crcFailed = false;
    } else {
        vx::printf("\n\nDiag image can not be found. Falling through to system image\n");
        diagModeSet(DIAG_MODE_OPCODE);
        crcFailed = imageActiveCrcCheck() != 0;
    }
    if (!crcFailed) bootMenu(0);

    vx::printf("\n\nActive image failed crc check. Activating backup image \n");
    if (imageBackupActivate() == 0) bootMenu(0);
    vx::printf("Failed to activate Backup Image.\n");
    bootMenu(1);
}

/* ---- Main boot menu -------------------------------------------------------------------- */

void bootMenuPrint(int showHidden)
{
    vx::printf("Options available\n");
    vx::printf("1  - Start operational code\n");
    vx::printf("2  - Change baud rate\n");
    vx::printf("3  - Retrieve event log using XMODEM\n");
    vx::printf("4  - Load new operational code using XMODEM\n");
    vx::printf("5  - Load configuration using XMODEM\n");
    vx::printf("6  - Display operational code vital product data\n");
    vx::printf("7  - Update boot code\n");
    vx::printf("8  - Delete operational code\n");
    vx::printf("9  - Reset the system\n");
    vx::printf("10 - Restore configuration to factory defaults (delete config files)\n");
    vx::printf("11 - Activate Backup Image\n");
    vx::printf("12 - Run Diagnostics Image\n");
    vx::printf("13 - Load new Diagnostics Image using XMODEM\n");
    if (showHidden) {
        vx::printf("\n");
        vx::printf("21 - create test\n");
        vx::printf("22 - check opr crc\n");
        vx::printf("23 - dir list\n");
        vx::printf("24 - show DIM boot config\n");
        vx::printf("\n");
        vx::printf("30 - BOOT Secrets\n");
    }
}

void bootMenu(int crcInvalid)
{
    MenuState st;

    vx::remove(kBootCodeFile);
    /* The image the start-up verified: the active one, or "image1" when the
     * directory names none (or a name that does not fit). */
    imageActiveNameGet(bootImageName, true);
    if (crcInvalid == 1) vx::printf("Operational code CRC is invalid.\n");

    if (diagModeGet() == DIAG_MODE_DIAG && crcInvalid == 0) {
        st = MenuState{1, 0, 0, 1};
        if (bootAutobootPrompt(AUTOBOOT_KIND_DIAG) != AUTOBOOT_MENU) bootStartDiag();
    } else {
        st = MenuState{crcInvalid == 1 ? 1 : 0, 1, 1, 0};
        if (crcInvalid == 0 && bootAutobootPrompt(AUTOBOOT_KIND_OPCODE) == AUTOBOOT_START) bootStartOpCode(1);
    }

    int choice = BOOT_MENU_REDISPLAY;
    for (;;) {
        vx::fflushStdout();
        bootMenuChoice(choice, st);
        vx::printf("[Boot Menu] ");
        vx::fflushStdout();
        choice = bootReadNumber();
    }
}
