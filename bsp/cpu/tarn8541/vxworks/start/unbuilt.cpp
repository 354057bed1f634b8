/*
 * unbuilt.cpp - routines whose modules are not part of this build yet.
 *
 * Each reports failure: the routines the start-up calls return their failure
 * code quietly (the start-up goes on, as it does when a device fails); the
 * ones a menu calls say so on the console, and the menu prints its own error.
 * A module that lands removes its routines from here.
 */
#include "osapi.h"

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
int eventLogOpen(uint32_t, EventLogIntHook, int, int, int) { return -1; }
int logInit() { return -1; }

/* Menu actions */
int imageDiagLoad(uint32_t) { unbuilt("imageDiagLoad"); return 1; }
void eventLogSend() { unbuilt("eventLogSend"); }
int xmodem(const char*) { unbuilt("xmodem"); return -1; }
