/*
 * bootConfig.h - the boot application: start-up (bootMain), the autoboot
 * prompt and the main boot menu. Console input and the flash access lock have
 * units of their own (bootInput.h, flashAccessLock.h), included here for the
 * menus' users.
 */
#ifndef BOOT_CONFIG_H
#define BOOT_CONFIG_H

#include "bsp/cpu/tarn8541/vxworks/start/bootInput.h"
#include "bsp/cpu/tarn8541/vxworks/start/flashAccessLock.h"

#include <cstdint>

constexpr int AUTOBOOT_KIND_OPCODE = 1;
constexpr int AUTOBOOT_KIND_DIAG = 3;
constexpr int AUTOBOOT_START = 1;
constexpr int AUTOBOOT_MENU = 2;

extern const char* const bootVersion;

[[noreturn]] void bootMain();
int bootAutobootPrompt(int kind);
[[noreturn]] void bootMenu(int crcInvalid);
void bootMenuPrint(int showHidden);

#endif
