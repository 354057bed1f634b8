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
/* Plain line read into an 80-byte buffer: the line without its new-line, the
 * excess of a longer line discarded. Returns buf, or nullptr on end of input. */
char* bootReadLine(char buf[BOOT_LINE_LEN]);
int bootParseMac(const char* text, uint8_t mac[6]);
/* Decimal conversion with the board's 32-bit strtol rules. */
int32_t bootDecimal(const char* text);

#endif
