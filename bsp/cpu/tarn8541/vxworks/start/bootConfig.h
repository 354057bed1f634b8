/*
 * bootConfig.h - the boot application: start-up (bootMain), the autoboot
 * prompt, the main boot menu, console input and the flash access lock.
 */
#ifndef BOOT_CONFIG_H
#define BOOT_CONFIG_H

#include <cstdint>

constexpr int BOOT_LINE_LEN = 80;
constexpr int BOOT_MENU_REDISPLAY = 99;
constexpr int AUTOBOOT_KIND_OPCODE = 1;
constexpr int AUTOBOOT_KIND_DIAG = 3;
constexpr int AUTOBOOT_START = 1;
constexpr int AUTOBOOT_MENU = 2;

extern const char* const bootVersion;

/* Console line speed in bits per second (the board's 32-bit int). */
extern int32_t line_speed;

[[noreturn]] void bootMain();
int bootAutobootPrompt(int kind);
[[noreturn]] void bootMenu(int crcInvalid);
void bootMenuPrint(int showHidden);

/* Console input */
uint8_t bootReadNumber();
char bootReadAnswer();
/* Plain line read into an 80-byte buffer: the line without its new-line, the
 * excess of a longer line discarded. Returns buf, or nullptr on end of input. */
char* bootReadLine(char buf[BOOT_LINE_LEN]);
int bootParseMac(const char* text, uint8_t mac[6]);

/* Flash access lock */
void flashAccessLockCreate();
void flashAccessLockTake();
void flashAccessLockGive();

#endif
