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

namespace {
void unbuilt(const char* routine)
{
    vx::printf("%s: not available in this boot code build\n", routine);
}
} // namespace

/* Menu actions */
int imageOpCodeLoad(uint32_t) { unbuilt("imageOpCodeLoad"); return 1; }
int configLoad() { unbuilt("configLoad"); return 1; }

