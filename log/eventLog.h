/*
 * eventLog.h - the event log store "log2.bin" and its retrieval over XMODEM.
 *
 * The log is an array of 52-byte big-endian records, kept whole in memory and
 * rewritten whole to "log2.bin" after every change. The file format is shared
 * with the operational code and fixed to the byte. Retrieval renders the
 * records newest first into "asciilog.bin" and sends that file.
 */
#ifndef EVENT_LOG_H
#define EVENT_LOG_H

#include <cstddef>
#include <cstdint>

constexpr const char* EVENT_LOG_FILE = "log2.bin";
constexpr const char* EVENT_LOG_ASCII_FILE = "asciilog.bin";

constexpr uint32_t EVENT_LOG_RECORD_SIZE = 52;
constexpr uint32_t EVENT_LOG_BOOT_SIZE = 16384; /* 315 slots */
constexpr int EVENT_LOG_MODE_OFF = 6;

/* Record types (the first word). */
constexpr uint32_t EL_TYPE_EVENT = 1;
constexpr uint32_t EL_TYPE_ERROR = 2;
constexpr uint32_t EL_TYPE_MACHINE_CHECK = 3;
constexpr uint32_t EL_TYPE_WATCHDOG = 4;
constexpr uint32_t EL_TYPE_EXC_0300 = 0x300;
constexpr uint32_t EL_TYPE_EXC_1100 = 0x1100;
constexpr uint32_t EL_TYPE_FREE = 0xFFFFFFFF;

/* Field offsets. Event and error records: */
constexpr uint32_t EL_OFF_TYPE = 0;
constexpr uint32_t EL_OFF_FILE = 4;
constexpr uint32_t EL_FILE_LEN = 32; /* space padded, no NUL */
constexpr uint32_t EL_OFF_LINE = 36;
constexpr uint32_t EL_OFF_TASK = 40;
constexpr uint32_t EL_OFF_CODE = 44;
constexpr uint32_t EL_OFF_TIME = 48;
/* Exception records (machine check, watchdog, 0x0300, 0x1100): */
constexpr uint32_t EL_OFF_SRR0 = 4;
constexpr uint32_t EL_OFF_SRR1 = 8;
constexpr uint32_t EL_OFF_MSR = 12;
constexpr uint32_t EL_OFF_DSISR = 16;
constexpr uint32_t EL_OFF_DAR = 20;
constexpr uint32_t EL_OFF_EXC_TIME = 24;

/* One record in its file form. */
struct EventLogRecord {
    uint8_t bytes[EVENT_LOG_RECORD_SIZE];
};

/* Big-endian words of a record. */
uint32_t eventLogWordGet(const EventLogRecord* rec, uint32_t offset);
void eventLogWordPut(EventLogRecord* rec, uint32_t offset, uint32_t value);

/* A routine run before logging from interrupt context. */
using EventLogIntHook = void (*)();

/* Opens the store: allocates size bytes, reads "log2.bin", empties a full or
 * malformed log. 0, or -1 when no memory could be had (the log stays closed). */
int eventLogOpen(uint32_t size, EventLogIntHook hook, int mode, int arg1, int arg2);
int eventLogClear();
/* flag 0 stores the record (emptying a full log first); flag 1 stores nothing.
 * 0 when the record was stored, -1 otherwise. */
int eventLogStore(const EventLogRecord* rec, int flag);
void eventLogRecordBuild(uint32_t type, const char* file, int32_t line, uint32_t code,
                         EventLogRecord* out);
/* An exception record as the exception handlers of the operational code store it. */
void eventLogExceptionBuild(uint32_t type, uint32_t srr0, uint32_t srr1, uint32_t msr,
                            uint32_t dsisr, uint32_t dar, EventLogRecord* out);
void eventLogWrite(const char* file, int32_t line, uint32_t code);

/* Store state, for retrieval and tests. */
uint32_t eventLogSlotCount();
uint32_t eventLogNextSlot();

/* Retrieval. A cursor is a slot number; EVENT_LOG_NONE means nothing (more) to show. */
constexpr int32_t EVENT_LOG_NONE = -1;
constexpr size_t EVENT_LOG_TEXT_LEN = 512;
/* Renders the record at cursor (EVENT_LOG_NONE: the newest) of buffer (nullptr:
 * the store's) into out (EVENT_LOG_TEXT_LEN bytes, left empty when nothing is
 * shown); returns the next cursor. */
int32_t eventLogFormat(const uint8_t* buffer, int32_t cursor, char* out);
/* 0 file written, 1 "asciilog.bin" cannot be created, 2 writing it failed (the
 * partial file is removed). */
int eventLogToAscii();
void eventLogSend();

/* The store closed, as at power-on; for start-up and tests. */
void eventLogReset();

#endif
