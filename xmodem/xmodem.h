/*
 * xmodem.h - the serial file transfer command.
 */
#ifndef XMODEM_H
#define XMODEM_H

int xmodem(const char* command);

#endif
