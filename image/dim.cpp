/*
 * dim.cpp - the image directory: a two-slot table of "image1" and "image2"
 * with their roles, kept in step with the text file "boot.dim".
 *
 * "boot.dim" is shared with the operational code, so its format is fixed:
 * per slot six LF-ended lines, "---IMAGE---", state, next state, name,
 * counter, description. The file is rewritten whole after every change; the
 * new text goes to an aside file first and then replaces "boot.dim", so a
 * power cut leaves either the old or the new directory.
 */
#include "image/dim.h"
#include "image/image.h"

#include <cstdlib>
#include <cstring>

#include "osapi.h"
#include "osapi_file.h"

namespace {

constexpr const char* DIM_FILE = "boot.dim";
constexpr const char* DIM_ASIDE_FILE = "boot.new";
constexpr const char* DIM_IMAGE_ASIDE[DIM_MAX_IMAGES] = {"image1.new", "image2.new"};
constexpr const char* DIM_MARKER = "---IMAGE---";
constexpr const char* DIM_ACTIVE = "active";
constexpr const char* DIM_BACKUP = "backup";
constexpr const char* DIM_DEFAULT_IMAGE = "image1";
constexpr uint32_t DIM_FILE_MAX = 1024;
constexpr uint32_t DIM_LINE_REACH = 256; /* a line of up to 255 characters and its LF */

DimEntry dimTable[DIM_MAX_IMAGES];
int dimCount = 0;

/* Copies text into a field of cap bytes: cut to fit, always terminated. */
void dimFieldSet(char* field, size_t cap, const char* text)
{
    size_t n = imageTextLen(text, cap - 1);
    std::memcpy(field, text, n);
    std::memset(field + n, 0, cap - n);
}

bool dimNameValid(const char* name)
{
    return std::strcmp(name, "image1") == 0 || std::strcmp(name, "image2") == 0;
}

/* The first slot (0, then 1) holding this name; a free slot never matches. */
DimEntry* dimFind(const char* name)
{
    if (name == nullptr || name[0] == '\0')
        return nullptr;
    for (DimEntry& e : dimTable)
        if (e.name[0] != '\0' && std::strncmp(e.name, name, DIM_NAME_LEN) == 0)
            return &e;
    return nullptr;
}

/* The first named slot whose state is the given role. */
DimEntry* dimFindState(const char* state)
{
    for (DimEntry& e : dimTable)
        if (e.name[0] != '\0' && std::strcmp(e.state, state) == 0)
            return &e;
    return nullptr;
}

/* Line splitter over data[0, len): hands out the next LF-ended line of at most
 * 255 characters (LF replaced by NUL), or nullptr when none is found within
 * reach; a last line without LF is never handed out. */
struct DimLines {
    char* data;
    uint32_t len;
    uint32_t pos;
};

char* dimLineNext(DimLines* lines)
{
    if (lines->pos >= lines->len)
        return nullptr;
    uint32_t left = lines->len - lines->pos;
    uint32_t reach = left < DIM_LINE_REACH ? left : DIM_LINE_REACH;
    char* start = lines->data + lines->pos;
    char* lf = static_cast<char*>(std::memchr(start, '\n', reach));
    if (lf == nullptr)
        return nullptr;
    *lf = '\0';
    lines->pos += static_cast<uint32_t>(lf - start) + 1;
    return start;
}

/* Reads up to 1024 bytes of "boot.dim" into buf (zeroed, one byte more for a
 * terminator). The byte count, -1 when it cannot be opened, -2 on a read error. */
int32_t dimFileRead(char (&buf)[DIM_FILE_MAX + 1])
{
    std::memset(buf, 0, sizeof buf);
    int fd = vx::open(DIM_FILE, vx::RDONLY, 0);
    if (fd < 0)
        return -1;
    uint32_t got = 0;
    while (got < DIM_FILE_MAX) {
        int32_t n = vx::read(fd, buf + got, DIM_FILE_MAX - got);
        if (n < 0) {
            vx::close(fd);
            return -2;
        }
        if (n == 0)
            break;
        got += static_cast<uint32_t>(n);
    }
    vx::close(fd);
    return static_cast<int32_t>(got);
}

bool dimFileExists(const char* name)
{
    vx::Stat st{};
    return vx::stat(name, &st) == vx::OK;
}

/* A replace cut short by a power loss: with the file gone the aside file is
 * the finished new one and takes its place; with the file still there the
 * replace had not begun (or the aside is an unfinished write) and the aside
 * is dropped. Used for "boot.dim" and for the images an image load replaces. */
void dimReplaceComplete(const char* aside, const char* name)
{
    if (!dimFileExists(aside))
        return;
    if (dimFileExists(name))
        osapiFileDelete(aside);
    else
        vx::rename(aside, name);
}

} // namespace

const char* dimImageAsideName(const char* name)
{
    if (name == nullptr)
        return nullptr;
    if (std::strcmp(name, "image1") == 0)
        return DIM_IMAGE_ASIDE[0];
    if (std::strcmp(name, "image2") == 0)
        return DIM_IMAGE_ASIDE[1];
    return nullptr;
}

void dimReset()
{
    std::memset(dimTable, 0, sizeof dimTable);
    dimCount = 0;
}

int dimInitialize()
{
    dimReset();
    dimReplaceComplete(DIM_ASIDE_FILE, DIM_FILE);
    dimReplaceComplete(DIM_IMAGE_ASIDE[0], "image1");
    dimReplaceComplete(DIM_IMAGE_ASIDE[1], "image2");

    char buf[DIM_FILE_MAX + 1];
    int32_t got = dimFileRead(buf);
    if (got == -1) {
        dimImageAdd(DIM_DEFAULT_IMAGE);
        return 3;
    }
    if (got < 0)
        return 1;
    if (got == 0)
        return 3;

    DimLines lines{buf, static_cast<uint32_t>(got), 0};
    int markers = 0;
    int field = 0;
    while (char* line = dimLineNext(&lines)) {
        if (std::strcmp(line, DIM_MARKER) == 0) {
            if (++markers > DIM_MAX_IMAGES)
                break;
            field = 0;
            continue;
        }
        if (markers == 0)
            continue; /* before the first record: belongs to no slot */
        DimEntry& e = dimTable[markers - 1];
        switch (field) {
        case 0: dimFieldSet(e.state, sizeof e.state, line); break;
        case 1: dimFieldSet(e.nextState, sizeof e.nextState, line); break;
        case 2: dimFieldSet(e.name, sizeof e.name, line); break;
        case 3: dimFieldSet(e.counter, sizeof e.counter, line); break;
        case 4: dimFieldSet(e.description, sizeof e.description, line); break;
        default: break;
        }
        if (field <= 4)
            field++;
    }

    /* A record without a name (cut short) holds no image: its slot stays free,
     * so the count matches the named slots. The planned roles take effect. */
    for (DimEntry& e : dimTable) {
        if (e.name[0] == '\0') {
            std::memset(&e, 0, sizeof e);
            continue;
        }
        dimCount++;
        std::memcpy(e.state, e.nextState, sizeof e.state);
    }

    /* Bytes without a single usable record are no directory: report it as
     * empty, so the start-up registers "image1" afresh. */
    if (dimCount == 0)
        return 3;

    dimSave();
    return 0;
}

int dimSave()
{
    char text[DIM_FILE_MAX];
    size_t len = 0;
    int written = 0;
    for (const DimEntry& e : dimTable) {
        if (written >= dimCount)
            break;
        if (e.name[0] == '\0')
            continue;
        /* Fields are terminated within their capacity, so two records always
         * fit the buffer (at most 343 bytes each). */
        int n = vx::snprintf(text + len, sizeof text - len, "%s\n%s\n%s\n%s\n%s\n%s\n", DIM_MARKER, e.state,
                             e.nextState, e.name, e.counter, e.description);
        if (n < 0 || static_cast<size_t>(n) >= sizeof text - len)
            return -1;
        len += static_cast<size_t>(n);
        written++;
    }

    int fd = -1;
    if (osapiFileCreate(DIM_ASIDE_FILE, &fd) != OSAPI_FILE_OK)
        return -1;
    int wrc = osapiFileWrite(fd, text, static_cast<uint32_t>(len));
    int crc = osapiFileClose(fd);
    if (wrc != OSAPI_FILE_OK || crc != OSAPI_FILE_OK) {
        osapiFileDelete(DIM_ASIDE_FILE); /* "boot.dim" keeps the old directory */
        return -1;
    }
    if (vx::renameReplace(DIM_ASIDE_FILE, DIM_FILE) != vx::OK)
        return -1; /* the next load completes or drops the aside file */
    return static_cast<int>(len);
}

int dimImageAdd(const char* name)
{
    if (!dimNameValid(name))
        return -3;
    if (dimCount == 0) {
        std::memset(dimTable, 0, sizeof dimTable);
        dimCount = 1;
        DimEntry& e = dimTable[0];
        dimFieldSet(e.name, sizeof e.name, name);
        dimFieldSet(e.counter, sizeof e.counter, "0");
        dimFieldSet(e.state, sizeof e.state, DIM_ACTIVE);
        dimFieldSet(e.nextState, sizeof e.nextState, DIM_ACTIVE);
        dimFieldSet(e.description, sizeof e.description, "default image");
        dimSave();
        return 0;
    }
    if (dimFind(name) != nullptr)
        return 0;
    for (DimEntry& e : dimTable) {
        if (e.name[0] != '\0')
            continue;
        dimCount++;
        std::memset(&e, 0, sizeof e);
        dimFieldSet(e.name, sizeof e.name, name);
        dimFieldSet(e.counter, sizeof e.counter, "0");
        dimFieldSet(e.state, sizeof e.state, DIM_BACKUP);
        dimFieldSet(e.nextState, sizeof e.nextState, DIM_BACKUP);
        dimSave();
        return 0;
    }
    return -1;
}

int dimActiveImageGet(char* name)
{
    if (dimCount == 0)
        return -1;
    const DimEntry* e = dimFindState(DIM_ACTIVE);
    if (e == nullptr)
        return -1;
    dimFieldSet(name, DIM_NAME_LEN, e->name);
    return 0;
}

int dimBackupImageGet(char* name)
{
    if (dimCount == 0)
        return -1;
    const DimEntry* e = dimFindState(DIM_BACKUP);
    if (e == nullptr)
        return -1;
    dimFieldSet(name, DIM_NAME_LEN, e->name);
    return 0;
}

int dimImageActivate(const char* name)
{
    if (dimCount == 0 || !dimNameValid(name))
        return 3;
    DimEntry* found = dimFind(name);
    if (found == nullptr)
        return 3;
    if (std::strcmp(found->nextState, DIM_ACTIVE) == 0)
        return 7;
    for (DimEntry& e : dimTable) {
        if (&e != found && e.name[0] != '\0' && std::strcmp(e.nextState, DIM_ACTIVE) == 0) {
            dimFieldSet(e.nextState, sizeof e.nextState, DIM_BACKUP);
            dimFieldSet(e.counter, sizeof e.counter, "0");
            break;
        }
    }
    dimFieldSet(found->counter, sizeof found->counter, "0");
    dimFieldSet(found->nextState, sizeof found->nextState, DIM_ACTIVE);
    dimSave();
    return 0;
}

int dimImageDelete(const char* name)
{
    if (dimCount == 0)
        return 3;
    DimEntry* e = dimFind(name);
    if (e == nullptr)
        return 3;
    if (std::strcmp(e->state, DIM_ACTIVE) == 0)
        return 8;
    if (std::strcmp(e->nextState, DIM_ACTIVE) == 0)
        return 7;
    std::memset(e, 0, sizeof *e);
    dimCount--;
    dimSave();
    return 0;
}

int dimImageStateGet(const char* name, int* state)
{
    *state = (dimCount != 0 && dimFind(name) != nullptr) ? 2 : 3;
    return 0;
}

int dimActiveCounterGet(int* counter)
{
    if (dimCount == 0)
        return -1;
    const DimEntry* e = dimFindState(DIM_ACTIVE);
    if (e == nullptr)
        return -1;
    *counter = static_cast<int>(std::strtol(e->counter, nullptr, 10));
    return 0;
}

int dimActiveCounterSet(int counter)
{
    if (dimCount == 0)
        return -1;
    DimEntry* e = dimFindState(DIM_ACTIVE);
    if (e == nullptr)
        return -1;
    char text[16];
    int n = vx::snprintf(text, sizeof text, "%d", counter);
    if (n < 0 || n >= DIM_COUNTER_LEN)
        return -2; /* would not fit the 4 characters of the field */
    dimFieldSet(e->counter, sizeof e->counter, text);
    dimSave();
    return 0;
}

int dimBackupStateGet()
{
    if (dimCount == 0)
        return 1;
    const DimEntry* e = dimFindState(DIM_BACKUP);
    if (e == nullptr)
        return 3;
    return std::strcmp(e->nextState, DIM_ACTIVE) == 0 ? 5 : 4;
}

int dimImageRename(const char* name, const char* newName)
{
    if (dimCount == 0)
        return 3;
    DimEntry* e = dimFind(name);
    if (e == nullptr)
        return 3;
    /* A name that does not fit, is empty or would break the line format would
     * name another file or none: refused. */
    size_t n = imageTextLen(newName, DIM_NAME_LEN);
    if (n == 0 || n >= static_cast<size_t>(DIM_NAME_LEN) || std::strpbrk(newName, "\r\n") != nullptr)
        return -3;
    dimFieldSet(e->name, sizeof e->name, newName);
    dimSave();
    return 0;
}

int dimImageDescrSet(const char* name, const char* text)
{
    if (dimCount == 0)
        return 3;
    DimEntry* e = dimFind(name);
    if (e == nullptr)
        return 3;
    dimFieldSet(e->description, sizeof e->description, text);
    /* The description is one line of the file: a line break in it would split
     * the record, so it becomes a space. */
    for (char& c : e->description)
        if (c == '\n' || c == '\r')
            c = ' ';
    dimSave();
    return 0;
}

int dimImageDescrGet(const char* name, char* text)
{
    if (dimCount == 0)
        return 3;
    const DimEntry* e = dimFind(name);
    if (e == nullptr)
        return 3;
    std::memcpy(text, e->description, DIM_DESCR_LEN);
    return 0;
}

int dimShow()
{
    char buf[DIM_FILE_MAX + 1];
    int32_t got = dimFileRead(buf);
    if (got == -1) {
        vx::printf(" boot.dim doesn't exist on the disk \n");
        return -1;
    }
    if (got < 0) {
        vx::printf(" boot.dim read error\n");
        return -2;
    }
    vx::printf("\nsize is %d \n", static_cast<int>(got));
    if (got == 0) {
        vx::printf(" boot.dim empty\n");
        return -3;
    }
    DimLines lines{buf, static_cast<uint32_t>(got), 0};
    int number = 1;
    while (const char* line = dimLineNext(&lines))
        vx::printf("boot.dim %d :\t\t %s \n", number++, line);
    return 0;
}
