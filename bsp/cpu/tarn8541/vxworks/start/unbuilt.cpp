/*
 * unbuilt.cpp - routines whose modules are not part of this build yet.
 *
 * Each reports failure: the routines the start-up calls return their failure
 * code quietly (the start-up goes on, as it does when a device fails); the
 * ones a menu calls say so on the console, and the menu prints its own error.
 * A module that lands removes its routines from here.
 */
#include "osapi.h"

#include "bsp/cpu/tarn8541/vxworks/mpc85xx/hwInfo.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/i2cLib.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/rtc.h"
#include "bsp/cpu/tarn8541/vxworks/mpc85xx/vpd.h"
#include "bsp/cpu/tarn8541/vxworks/start/bootMemTest.h"
#include "image/imageLoad.h"
#include "log/eventLog.h"
#include "log/log.h"
#include "xmodem/xmodem.h"

namespace {
void unbuilt(const char* routine)
{
    vx::printf("%s: not available in this boot code build\n", routine);
}
} // namespace

/* Start-up devices and stores: failure codes only. */
int i2cInit(uint8_t, uint8_t, uint8_t) { return -1; }
int vpdEepromRead(uint32_t, uint8_t*, uint32_t) { return -1; }
int eventLogOpen(uint32_t, EventLogIntHook, int, int, int) { return -1; }
int logInit() { return -1; }

/* Without the clock chip driver the clock cannot be read: the system clock
 * takes the fallback date, Friday 22 April 2005 08:00:00. */
int rtcLoadSystemClock()
{
    std::tm t{};
    t.tm_year = 2005 - 1900;
    t.tm_mon = 3;
    t.tm_mday = 22;
    t.tm_hour = 8;
    vx::clockSettime(vx::mktime(&t), 0);
    return -1;
}

/* Menu actions */
int imageDiagLoad(uint32_t) { unbuilt("imageDiagLoad"); return 1; }
void eventLogSend() { unbuilt("eventLogSend"); }
int xmodem(const char*) { unbuilt("xmodem"); return -1; }

/* Utilities menu actions */
void bootMemCommand() { unbuilt("bootMemCommand"); }
void bootRamTest() { unbuilt("bootRamTest"); }
void bootFsTest() { unbuilt("bootFsTest"); }
void pciBusShow(int) { unbuilt("pciBusShow"); }
void coreInfoShow() { unbuilt("coreInfoShow"); }
int vpdDump(uint32_t, uint32_t) { unbuilt("vpdDump"); return -1; }
int vpdGenerate() { unbuilt("vpdGenerate"); return -1; }
int rtcShow() { unbuilt("rtcShow"); return -1; }
int rtcSetDialog() { unbuilt("rtcSetDialog"); return -1; }
