/*
 * bootInput.h - console input of the boot menus: plain line reads, menu
 * numbers, yes/no answers and MAC address text.
 */
#ifndef BOOT_INPUT_H
#define BOOT_INPUT_H

#include <cstdint>

constexpr int BOOT_LINE_LEN = 80;
constexpr int BOOT_MENU_REDISPLAY = 99;

uint8_t bootReadNumber();
char bootReadAnswer();
/* Reads one console line into buf (cleared first): at most size-1 characters
 * and a zero byte, without the new-line. A zero byte typed in the line (a
 * terminal's Ctrl-Space, the NUL a telnet-style client sends after CR) is
 * dropped: it never ends the line nor costs the next one. The characters past
 * size-1 are read and discarded up to the line's end; *lost (when given) tells
 * whether any was, carriage returns aside. Returns the line's length, or -1 at
 * end of input with nothing read. */
int32_t bootLineRead(char* buf, int32_t size, bool* lost);
/* Plain line read into an 80-byte buffer (bootLineRead). Returns buf, or
 * nullptr on end of input. */
char* bootReadLine(char buf[BOOT_LINE_LEN]);
int bootParseMac(const char* text, uint8_t mac[6]);
/* Decimal conversion with the board's 32-bit strtol rules. */
int32_t bootDecimal(const char* text);

#endif
