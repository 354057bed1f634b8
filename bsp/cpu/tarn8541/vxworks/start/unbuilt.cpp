/*
 * unbuilt.cpp - routines whose modules are not part of this build yet.
 *
 * Each reports failure: the routines the start-up calls return their failure
 * code quietly (the start-up goes on, as it does when a device fails); the
 * ones a menu calls say so on the console, and the menu prints its own error.
 * A module that lands removes its routines from here. Every module has landed.
 */
#include "osapi.h"

namespace {
[[maybe_unused]] void unbuilt(const char* routine)
{
    vx::printf("%s: not available in this boot code build\n", routine);
}
} // namespace
