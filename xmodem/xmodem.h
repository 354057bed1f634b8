/*
 * xmodem.h - the serial file transfer command.
 */
#ifndef XMODEM_H
#define XMODEM_H

#include <cstdint>

int xmodem(const char* command);

/* Console line speed in bits per second (the board's 32-bit int): set by the
 * boot menu's baud dialogue, read back from the console by each transfer. */
extern int32_t line_speed;

#endif
