/*
 * log.cpp - the startup and operation text message logs and "persist.txt".
 *
 * Each message takes one 592-byte slot written in one piece: its text (at most
 * 589 bytes), CR LF NUL, zero fill. Readers show a slot up to its NUL and never
 * past the slot.
 */
#include "log/log.h"

#include <cstring>

#include "osapi.h"
#include "osapi_file.h"

namespace {

constexpr int LOG_NAME_LEN = 16;
constexpr int LOG_FILE_MODE = 0644;

/* Messages written since start; the slot of message n follows from n. */
uint32_t logMsgCount = 0;
char logStartupFile[LOG_NAME_LEN] = "";
char logOperationFile[LOG_NAME_LEN] = "";
bool logRotated = false;
/* Slot last used in "persist.txt". */
uint32_t persistIndex = 0;

/* The slot image of a message: min(len, 589) text bytes, CR LF NUL, zeros. */
void slotBuild(LogSlot* slot, const char* msg, uint32_t len)
{
    uint32_t n = len < LOG_MSG_MAX ? len : LOG_MSG_MAX;
    std::memset(slot->text, 0, sizeof slot->text);
    std::memcpy(slot->text, msg, n);
    slot->text[n] = '\r';
    slot->text[n + 1] = '\n';
    slot->text[n + 2] = '\0';
}

/* Seeks to the slot and writes it in one call under the file layer's lock. */
bool slotWrite(int fd, uint32_t slot, const LogSlot* s)
{
    if (osapiFileLockTake() != OSAPI_FILE_OK)
        return false;
    bool ok = vx::lseek(fd, int32_t(slot * LOG_SLOT_SIZE), vx::SEEK_FROM_START) == int32_t(slot * LOG_SLOT_SIZE)
              && vx::write(fd, s->text, LOG_SLOT_SIZE) == int32_t(LOG_SLOT_SIZE);
    osapiFileLockGive();
    return ok;
}

/* Length of the text of a slot of which len bytes are valid: up to its NUL. */
uint32_t slotTextLen(const LogSlot* s, uint32_t len)
{
    const void* nul = std::memchr(s->text, '\0', len);
    return nul != nullptr ? uint32_t(static_cast<const char*>(nul) - s->text) : len;
}

bool textWrite(int fd, const char* text, uint32_t len)
{
    return osapiFileWrite(fd, text, len) == OSAPI_FILE_OK;
}

bool formatWrite(int fd, const char* fmt, int g, const char* name)
{
    char line[64];
    int n = vx::snprintf(line, sizeof line, fmt, g, name);
    return n > 0 && textWrite(fd, line, uint32_t(n) < sizeof line ? uint32_t(n) : sizeof line - 1);
}

} // namespace

void logStartupName(int g, char name[16]) { vx::snprintf(name, LOG_NAME_LEN, "slog%d.txt", g); }
void logOperationName(int g, char name[16]) { vx::snprintf(name, LOG_NAME_LEN, "olog%d.txt", g); }

void logReset()
{
    logMsgCount = 0;
    logStartupFile[0] = '\0';
    logOperationFile[0] = '\0';
    logRotated = false;
    persistIndex = 0;
}

void logAttach()
{
    logStartupName(0, logStartupFile);
    logOperationName(0, logOperationFile);
}

int logInit()
{
    logAttach();
    return logRotate();
}

int logRotate()
{
    if (logRotated)
        return OSAPI_FILE_OK;
    logRotated = true;

    char from[LOG_NAME_LEN];
    char to[LOG_NAME_LEN];
    logStartupName(LOG_GENERATIONS - 1, to);
    osapiFileDelete(to);
    logOperationName(LOG_GENERATIONS - 1, to);
    osapiFileDelete(to);
    for (int i = LOG_GENERATIONS - 1; i >= 1; --i) {
        logStartupName(i - 1, from);
        logStartupName(i, to);
        vx::rename(from, to);
        logOperationName(i - 1, from);
        logOperationName(i, to);
        vx::rename(from, to);
    }

    int rc = OSAPI_FILE_OK;
    const char* current[] = {logStartupFile, logOperationFile};
    for (const char* name : current) {
        int fd = -1;
        if (osapiFileCreate(name, &fd) != OSAPI_FILE_OK)
            rc = OSAPI_FILE_ERROR;
        else
            osapiFileClose(fd);
    }
    return rc;
}

int logStartupWrite(const char* msg, uint32_t len)
{
    if (msg == nullptr || len == 0 || logStartupFile[0] == '\0')
        return OSAPI_FILE_ERROR;

    int key = vx::intLock();
    uint32_t n = logMsgCount++;
    vx::intUnlock(key);

    const char* target = n < LOG_SLOTS ? logStartupFile : logOperationFile;
    int fd = vx::open(target, vx::WRONLY | vx::CREAT, LOG_FILE_MODE);
    if (fd < 0)
        return OSAPI_FILE_ERROR;
    LogSlot slot;
    slotBuild(&slot, msg, len);
    bool ok = slotWrite(fd, n % LOG_SLOTS, &slot);
    if (osapiFileClose(fd) != OSAPI_FILE_OK)
        ok = false;
    return ok ? OSAPI_FILE_OK : OSAPI_FILE_ERROR;
}

int persistInit()
{
    uint32_t size = 0;
    int rc = osapiFileSizeGet(LOG_PERSIST_FILE, &size);
    if (rc != OSAPI_FILE_OK)
        return rc;
    persistIndex = size / LOG_SLOT_SIZE;
    return OSAPI_FILE_OK;
}

int persistWrite(const char* msg, uint32_t len)
{
    if (msg == nullptr || len == 0)
        return OSAPI_FILE_ERROR;
    /* Slots 0 to 31 only: an index at or past the last slot (a file that an
     * earlier writer let grow) wraps to 0 rather than growing the file. */
    persistIndex = persistIndex >= LOG_SLOTS - 1 ? 0 : persistIndex + 1;

    int fd = vx::open(LOG_PERSIST_FILE, vx::RDWR | vx::CREAT, LOG_FILE_MODE);
    if (fd < 0)
        return OSAPI_FILE_ERROR;
    LogSlot slot;
    slotBuild(&slot, msg, len);
    bool ok = slotWrite(fd, persistIndex, &slot);
    if (osapiFileClose(fd) != OSAPI_FILE_OK)
        ok = false;
    return ok ? OSAPI_FILE_OK : OSAPI_FILE_ERROR;
}

int persistPrint()
{
    uint32_t size = 0;
    int fd = 0;
    if (osapiFileSizeGet(LOG_PERSIST_FILE, &size) != OSAPI_FILE_OK
        || (fd = osapiFileOpen(LOG_PERSIST_FILE)) == OSAPI_FILE_ERROR) {
        vx::printf("\r\nFailed to print the file contents of %s fileName\r\n", LOG_PERSIST_FILE);
        return OSAPI_FILE_ERROR;
    }
    vx::printf("\r\nFile size of %s file is %d\r\n", LOG_PERSIST_FILE, int32_t(size));
    for (uint32_t done = 0; done < size;) {
        LogSlot slot;
        std::memset(slot.text, 0, sizeof slot.text);
        uint32_t want = size - done < LOG_SLOT_SIZE ? size - done : LOG_SLOT_SIZE;
        uint32_t got = want;
        if (osapiFileReadWithLen(fd, slot.text, &got) != OSAPI_FILE_OK) {
            osapiFileClose(fd);
            vx::printf("\r\nFailed to print the file contents of %s fileName\r\n", LOG_PERSIST_FILE);
            return OSAPI_FILE_ERROR;
        }
        vx::printf("%.*s", int(slotTextLen(&slot, got)), slot.text);
        if (got < want) /* the file shrank meanwhile */
            break;
        done += got;
    }
    osapiFileClose(fd);
    return OSAPI_FILE_OK;
}

int32_t logFileCopy(int outFd, const char* name, uint32_t maxSlots)
{
    int fd = osapiFileOpen(name);
    if (fd == OSAPI_FILE_ERROR)
        return 0;
    int32_t total = 0;
    for (uint32_t i = 0; i < maxSlots; ++i) {
        LogSlot slot;
        uint32_t got = LOG_SLOT_SIZE;
        if (osapiFileReadWithLen(fd, slot.text, &got) != OSAPI_FILE_OK || got == 0)
            break;
        if (slot.text[0] == '<') {
            uint32_t len = slotTextLen(&slot, got);
            if (textWrite(outFd, slot.text, len))
                total += int32_t(len);
        }
        if (got < LOG_SLOT_SIZE)
            break;
    }
    osapiFileClose(fd);
    return total;
}

int logDump(const char* path)
{
    int fd = vx::open(path, vx::WRONLY | vx::CREAT | vx::TRUNC, LOG_FILE_MODE);
    if (fd < 0)
        return OSAPI_FILE_ERROR;
    static const char gap[] = "\r\n\r\n";
    char name[LOG_NAME_LEN];
    bool ok = true;
    for (int g = LOG_GENERATIONS - 1; g >= 0; --g) {
        logStartupName(g, name);
        ok = formatWrite(fd, "- Startup Log N-%d - %s\r\n", g, name) && ok;
        logFileCopy(fd, name, LOG_SLOTS);
        ok = textWrite(fd, gap, sizeof gap - 1) && ok;
        logOperationName(g, name);
        ok = formatWrite(fd, "- Operation Log N-%d - %s\r\n", g, name) && ok;
        logFileCopy(fd, name, LOG_SLOTS);
        ok = textWrite(fd, gap, sizeof gap - 1) && ok;
    }
    ok = osapiFileClose(fd) == OSAPI_FILE_OK && ok;
    return ok ? OSAPI_FILE_OK : OSAPI_FILE_ERROR;
}
