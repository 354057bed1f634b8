/*
 * eventLog.cpp - the event log store "log2.bin" and its retrieval.
 *
 * The whole log lives in elBuffer; after every store or clear the file is
 * rewritten from it, so the file always holds what memory holds. A valid log is
 * a run of used slots from slot 0 followed by free (all 0xFF) slots.
 */
#include "log/eventLog.h"

#include <cstring>

#include "bsp/cpu/tarn8541/vxworks/start/flashAccessLock.h"
#include "osapi.h"
#include "xmodem/xmodem.h"

namespace {

constexpr uint32_t EL_FREE_BYTE = 0xFF;
constexpr uint32_t ASCII_BLOCK = 1024;
constexpr uint32_t SECONDS_PER_DAY = 86400;

uint8_t* elBuffer = nullptr;
uint32_t elSize = 0;
uint32_t elCount = 0;
uint32_t elNext = 0;
int elMode = 0;
EventLogIntHook elIntHook = nullptr;
int elArg1 = 0;
int elArg2 = 0;
/* Slot the current retrieval walk began with: the walk stops before it comes
 * round to it again, so a log with every slot used is shown once. */
int32_t elWalkStart = EVENT_LOG_NONE;

uint32_t wordAt(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

const uint8_t* slotAt(const uint8_t* buffer, uint32_t slot)
{
    return buffer + size_t(slot) * EVENT_LOG_RECORD_SIZE;
}

bool slotFree(const uint8_t* buffer, uint32_t slot)
{
    return wordAt(slotAt(buffer, slot) + EL_OFF_TYPE) == EL_TYPE_FREE;
}

/* Rewrites the slots of the file from elBuffer. As on the board, the write and
 * close results are not examined: memory stays the reference. */
void elFileRewrite()
{
    int fd = vx::open(EVENT_LOG_FILE, vx::RDWR, 0);
    if (fd < 0)
        return;
    vx::write(fd, elBuffer, size_t(elCount) * EVENT_LOG_RECORD_SIZE);
    vx::close(fd);
}

/* Reads up to elSize bytes of the file into elBuffer; the part the file does
 * not deliver (a new, short or unreadable file) stays free. */
void elFileLoad(int fd)
{
    uint32_t got = 0;
    while (got < elSize) {
        int32_t n = vx::read(fd, elBuffer + got, elSize - got);
        if (n <= 0)
            break;
        got += uint32_t(n);
    }
}

/* First free slot, or elCount when none is. */
uint32_t elFirstFree(const uint8_t* buffer)
{
    for (uint32_t i = 0; i < elCount; ++i)
        if (slotFree(buffer, i))
            return i;
    return elCount;
}

/* Appends formatted text to out (EVENT_LOG_TEXT_LEN bytes), never past its end. */
void textAppend(char* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void textAppend(char* out, const char* fmt, ...)
{
    size_t used = std::strlen(out);
    if (used + 1 >= EVENT_LOG_TEXT_LEN)
        return;
    va_list ap;
    va_start(ap, fmt);
    vx::vsnprintf(out + used, EVENT_LOG_TEXT_LEN - used, fmt, ap);
    va_end(ap);
}

/* The four numbers of a time: days, hours, minutes, seconds. */
void timeAppend(char* out, const char* fmt, uint32_t t)
{
    uint32_t r = t % SECONDS_PER_DAY;
    textAppend(out, fmt, t / SECONDS_PER_DAY, r / 3600, (r % 3600) / 60, r % 60);
}

const char* exceptionLabel(uint32_t type)
{
    switch (type) {
    case EL_TYPE_MACHINE_CHECK: return "Machine Check > ";
    case EL_TYPE_WATCHDOG:      return "Watchdog      > ";
    case EL_TYPE_EXC_0300:      return "Exc 0x0300    > ";
    case EL_TYPE_EXC_1100:      return "Exc 0x1100    > ";
    default:                    return nullptr;
    }
}

void renderRecord(const uint8_t* rec, char* out)
{
    uint32_t type = wordAt(rec + EL_OFF_TYPE);
    if (type == EL_TYPE_EVENT || type == EL_TYPE_ERROR) {
        /* The name field is text from the file: a control byte or NUL in it
         * (a damaged record) shows as '.', so the line keeps its length and
         * its line end. */
        char file[EL_FILE_LEN + 1];
        for (uint32_t i = 0; i < EL_FILE_LEN; ++i) {
            uint8_t c = rec[EL_OFF_FILE + i];
            file[i] = (c < 0x20 || c == 0x7F) ? '.' : char(c);
        }
        file[EL_FILE_LEN] = '\0';
        textAppend(out, "%s%s", type == EL_TYPE_EVENT ? "EVENT> " : "ERROR> ", file);
        textAppend(out, " %4d ", int32_t(wordAt(rec + EL_OFF_LINE)));
        textAppend(out, "%08X ", wordAt(rec + EL_OFF_TASK));
        textAppend(out, "%08X", wordAt(rec + EL_OFF_CODE));
        timeAppend(out, "      %4u %2u %2u %2u\r\n", wordAt(rec + EL_OFF_TIME));
    } else if (const char* label = exceptionLabel(type)) {
        textAppend(out, "%s", label);
        textAppend(out, "srr0:%08X ", wordAt(rec + EL_OFF_SRR0));
        textAppend(out, "srr1: %08X ", wordAt(rec + EL_OFF_SRR1));
        textAppend(out, "msr:%08X ", wordAt(rec + EL_OFF_MSR));
        textAppend(out, "dsisr:%08X ", wordAt(rec + EL_OFF_DSISR));
        textAppend(out, "dar:%08X", wordAt(rec + EL_OFF_DAR));
        timeAppend(out, "  %4u %2u %2u %2u\r\n", wordAt(rec + EL_OFF_EXC_TIME));
    } else {
        textAppend(out, "CORRUPT ENTRY >>>>>>>");
        for (uint32_t off = 0; off < 20; off += 4)
            textAppend(out, "%08X ", wordAt(rec + off));
        textAppend(out, "%08X\r\n", wordAt(rec + 20));
    }
}

/* Writes the whole text; false when the file took less. */
bool asciiWrite(int fd, const char* text, size_t len, uint32_t* count)
{
    int32_t n = vx::write(fd, text, len);
    if (n < 0 || size_t(n) != len)
        return false;
    *count += uint32_t(len);
    return true;
}

bool asciiRender(int fd, uint32_t* count)
{
    char text[EVENT_LOG_TEXT_LEN];
    int32_t cursor = eventLogFormat(nullptr, EVENT_LOG_NONE, text);
    if (cursor == EVENT_LOG_NONE && text[0] == '\0') {
        static const char empty[] = "\r\nMessage Log Empty";
        return asciiWrite(fd, empty, sizeof empty - 1, count);
    }
    static const char head1[] = "                                                  Time\r\n";
    static const char head2[] = "         File   Line  TaskID    Code           d  h  m  s\r\n";
    if (!asciiWrite(fd, head1, sizeof head1 - 1, count) || !asciiWrite(fd, head2, sizeof head2 - 1, count))
        return false;
    for (;;) {
        if (!asciiWrite(fd, text, std::strlen(text), count))
            return false;
        if (cursor == EVENT_LOG_NONE)
            return true;
        cursor = eventLogFormat(nullptr, cursor, text);
        if (text[0] == '\0')
            return true;
    }
}

bool asciiPad(int fd, uint32_t count)
{
    uint32_t rest = count % ASCII_BLOCK;
    if (rest == 0)
        return true;
    char spaces[ASCII_BLOCK];
    std::memset(spaces, ' ', sizeof spaces);
    uint32_t ignored = 0;
    return asciiWrite(fd, spaces, ASCII_BLOCK - rest, &ignored);
}

} // namespace

uint32_t eventLogWordGet(const EventLogRecord* rec, uint32_t offset)
{
    return wordAt(rec->bytes + offset);
}

void eventLogWordPut(EventLogRecord* rec, uint32_t offset, uint32_t value)
{
    rec->bytes[offset] = uint8_t(value >> 24);
    rec->bytes[offset + 1] = uint8_t(value >> 16);
    rec->bytes[offset + 2] = uint8_t(value >> 8);
    rec->bytes[offset + 3] = uint8_t(value);
}

void eventLogReset()
{
    elBuffer = nullptr; /* the pool goes with the power */
    elSize = 0;
    elCount = 0;
    elNext = 0;
    elMode = 0;
    elIntHook = nullptr;
    elArg1 = 0;
    elArg2 = 0;
    elWalkStart = EVENT_LOG_NONE;
}

int eventLogOpen(uint32_t size, EventLogIntHook hook, int mode, int arg1, int arg2)
{
    if (elBuffer != nullptr) { /* a second open starts over */
        vx::free(elBuffer);
        eventLogReset();
    }
    uint8_t* buf = size == 0 ? nullptr : static_cast<uint8_t*>(vx::malloc(size));
    if (buf == nullptr) {
        vx::printf("Cannot malloc enough memory to create log!\n");
        return -1;
    }
    elBuffer = buf;
    elSize = size;
    std::memset(elBuffer, EL_FREE_BYTE, elSize);
    elIntHook = hook;
    elMode = mode;
    elArg1 = arg1;
    elArg2 = arg2;
    elCount = size / EVENT_LOG_RECORD_SIZE;
    elNext = 0;

    int fd = vx::open(EVENT_LOG_FILE, vx::RDWR, 0);
    if (fd < 0)
        fd = vx::open(EVENT_LOG_FILE, vx::RDWR | vx::CREAT, 0644);
    if (fd < 0) {
        vx::printf("Could not create %s in file system on DiskOnChip\n\n", EVENT_LOG_FILE);
        vx::printf("DiskOnChip may be corrupted\n\n");
    } else {
        elFileLoad(fd);
        vx::close(fd);
    }

    if (elMode == EVENT_LOG_MODE_OFF)
        return 0;
    uint32_t first = elFirstFree(elBuffer);
    bool malformed = first == elCount;
    for (uint32_t i = first; i < elCount && !malformed; ++i)
        malformed = !slotFree(elBuffer, i);
    if (malformed) {
        eventLogClear();
        elNext = 0;
    } else {
        elNext = first;
    }
    return 0;
}

int eventLogClear()
{
    if (elBuffer == nullptr)
        return 0;
    std::memset(elBuffer, EL_FREE_BYTE, elSize);
    elFileRewrite();
    return 0;
}

int eventLogStore(const EventLogRecord* rec, int flag)
{
    if (elMode == EVENT_LOG_MODE_OFF || elBuffer == nullptr || elCount == 0 || rec == nullptr)
        return -1;
    if (elNext >= elCount) {
        if (flag != 0)
            return -1;
        eventLogClear();
        elNext = 0;
    }
    if (flag != 0)
        return -1;
    std::memcpy(elBuffer + size_t(elNext) * EVENT_LOG_RECORD_SIZE, rec->bytes, EVENT_LOG_RECORD_SIZE);
    elFileRewrite();
    ++elNext;
    return 0;
}

void eventLogRecordBuild(uint32_t type, const char* file, int32_t line, uint32_t code, EventLogRecord* out)
{
    std::memset(out->bytes, 0, sizeof out->bytes);
    const char* base = file != nullptr ? file : "";
    for (const char* p = base; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    uint32_t i = 0;
    for (; i < EL_FILE_LEN && base[i] != '\0'; ++i)
        out->bytes[EL_OFF_FILE + i] = uint8_t(base[i]);
    for (; i < EL_FILE_LEN; ++i)
        out->bytes[EL_OFF_FILE + i] = ' ';
    eventLogWordPut(out, EL_OFF_TYPE, type);
    eventLogWordPut(out, EL_OFF_LINE, uint32_t(line));
    eventLogWordPut(out, EL_OFF_TASK, uint32_t(vx::taskIdSelf()));
    eventLogWordPut(out, EL_OFF_CODE, code);
    eventLogWordPut(out, EL_OFF_TIME, vx::time(nullptr));
}

void eventLogExceptionBuild(uint32_t type, uint32_t srr0, uint32_t srr1, uint32_t msr, uint32_t dsisr,
                            uint32_t dar, EventLogRecord* out)
{
    std::memset(out->bytes, 0, sizeof out->bytes);
    eventLogWordPut(out, EL_OFF_TYPE, type);
    eventLogWordPut(out, EL_OFF_SRR0, srr0);
    eventLogWordPut(out, EL_OFF_SRR1, srr1);
    eventLogWordPut(out, EL_OFF_MSR, msr);
    eventLogWordPut(out, EL_OFF_DSISR, dsisr);
    eventLogWordPut(out, EL_OFF_DAR, dar);
    eventLogWordPut(out, EL_OFF_EXC_TIME, vx::time(nullptr));
}

void eventLogWrite(const char* file, int32_t line, uint32_t code)
{
    if (vx::intContext() && elIntHook != nullptr)
        elIntHook();
    EventLogRecord rec;
    eventLogRecordBuild(EL_TYPE_EVENT, file, line, code, &rec);
    eventLogStore(&rec, 0);
}

uint32_t eventLogSlotCount() { return elCount; }
uint32_t eventLogNextSlot() { return elNext; }

int32_t eventLogFormat(const uint8_t* buffer, int32_t cursor, char* out)
{
    out[0] = '\0';
    if (elMode == EVENT_LOG_MODE_OFF)
        return EVENT_LOG_NONE;
    if (buffer == nullptr)
        buffer = elBuffer;
    if (buffer == nullptr || elCount == 0)
        return EVENT_LOG_NONE;
    if (cursor == EVENT_LOG_NONE) {
        if (slotFree(buffer, 0))
            return EVENT_LOG_NONE;
        uint32_t first = elFirstFree(buffer);
        cursor = int32_t(first == elCount ? elCount - 1 : first - 1);
        elWalkStart = cursor;
    } else if (cursor < 0 || uint32_t(cursor) >= elCount) {
        return EVENT_LOG_NONE;
    }

    flashAccessLockTake();
    const uint8_t* rec = slotAt(buffer, uint32_t(cursor));
    if (wordAt(rec + EL_OFF_TYPE) == EL_TYPE_FREE) {
        flashAccessLockGive();
        return EVENT_LOG_NONE;
    }
    int32_t next = cursor == 0 ? int32_t(elCount - 1) : cursor - 1;
    if (next == elWalkStart) /* every slot has been shown */
        next = EVENT_LOG_NONE;
    renderRecord(rec, out);
    flashAccessLockGive();
    return next;
}

int eventLogToAscii()
{
    int fd = vx::open(EVENT_LOG_ASCII_FILE, vx::WRONLY | vx::CREAT | vx::TRUNC, 0644);
    if (fd < 0)
        return 1;
    uint32_t count = 0;
    bool ok = asciiRender(fd, &count) && asciiPad(fd, count);
    if (vx::close(fd) != vx::OK)
        ok = false;
    if (!ok) {
        vx::remove(EVENT_LOG_ASCII_FILE);
        return 2;
    }
    return 0;
}

void eventLogSend()
{
    if (eventLogToAscii() != 0) {
        vx::printf("ERROR: Event Log conversion failed. XMODEM transfer failed.\n");
        return;
    }
    char command[64];
    vx::snprintf(command, sizeof command, "cbske %s", EVENT_LOG_ASCII_FILE);
    int rc = xmodem(command);
    vx::remove(EVENT_LOG_ASCII_FILE);
    if (rc == 0)
        vx::printf("Event log transmitted.\n");
    else
        vx::printf("ERROR: XMODEM transfer failed.\n");
}
