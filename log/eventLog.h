/*
 * eventLog.h - the event log store "log2.bin" and its retrieval over XMODEM.
 */
#ifndef EVENT_LOG_H
#define EVENT_LOG_H

#include <cstdint>

using EventLogIntHook = void (*)();

int eventLogOpen(uint32_t size, EventLogIntHook hook, int mode, int arg1, int arg2);
void eventLogSend();

#endif
