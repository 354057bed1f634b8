/*
 * log.h - the startup and operation text message logs.
 *
 * Messages are kept in 592-byte slots (text, CR LF NUL, zero fill). The first
 * 32 messages of a start go in order to slog0.txt, later ones cycle through the
 * 32 slots of olog0.txt; each start moves generations 0 and 1 to 1 and 2.
 * "persist.txt" is a separate 32-slot ring kept across starts.
 */
#ifndef LOG_H
#define LOG_H

#include <cstdint>

constexpr uint32_t LOG_SLOT_SIZE = 592;
constexpr uint32_t LOG_MSG_MAX = 589; /* text bytes of a slot */
constexpr uint32_t LOG_SLOTS = 32;
constexpr int LOG_GENERATIONS = 3;
constexpr const char* LOG_PERSIST_FILE = "persist.txt";

/* A slot: a message when its first byte is '<'. */
struct LogSlot {
    char text[LOG_SLOT_SIZE];
};

int logInit();
int logRotate();
int logStartupWrite(const char* msg, uint32_t len);
int32_t logFileCopy(int outFd, const char* name, uint32_t maxSlots);
int logDump(const char* path);
int persistInit();
int persistWrite(const char* msg, uint32_t len);
int persistPrint();

/* Names of generation g (0..2) of the startup and operation logs. */
void logStartupName(int g, char name[16]);
void logOperationName(int g, char name[16]);

/* A second writer of the same start: sets the current names without rotating. */
void logAttach();
/* Module state as at power-on; for start-up and tests. */
void logReset();

#endif
