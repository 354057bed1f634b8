/*
 * osapi_file.cpp - the file access layer.
 *
 * Uniform results over the platform's file calls (0 success, 2 error; create
 * alone returns 1 for an error), one FIFO lock around every open, close, read
 * and write, and reads that loop until the count is complete or the file ends.
 */
#include "osapi_file.h"

#include "osapi.h"

namespace {

/* Created free on first use, never deleted. */
vx::SEM_ID osapiFileLock = nullptr;

} // namespace

/* Takes the layer lock, creating it the first time. OSAPI_FILE_ERROR when no
 * lock can be had. */
int osapiFileLockTake()
{
    if (osapiFileLock == nullptr) {
        osapiFileLock = vx::semBCreate(vx::SEM_Q_FIFO, vx::SEM_FULL);
        if (osapiFileLock == nullptr)
            return OSAPI_FILE_ERROR;
    }
    return vx::semTake(osapiFileLock, vx::WAIT_FOREVER) == vx::OK ? OSAPI_FILE_OK : OSAPI_FILE_ERROR;
}

void osapiFileLockGive()
{
    vx::semGive(osapiFileLock);
}

int osapiFileOpen(const char* name)
{
    if (osapiFileLockTake() != OSAPI_FILE_OK)
        return OSAPI_FILE_ERROR;
    int fd = vx::open(name, vx::RDWR, 0);
    osapiFileLockGive();
    return fd < 0 ? OSAPI_FILE_ERROR : fd;
}

int osapiFileCreate(const char* name, int* fd)
{
    *fd = vx::open(name, vx::RDWR | vx::CREAT | vx::TRUNC, 0);
    return *fd < 0 ? 1 : OSAPI_FILE_OK;
}

int osapiFileClose(int fd)
{
    if (osapiFileLockTake() != OSAPI_FILE_OK)
        return OSAPI_FILE_ERROR;
    int rc = vx::close(fd);
    osapiFileLockGive();
    return rc == vx::OK ? OSAPI_FILE_OK : OSAPI_FILE_ERROR;
}

int osapiFileDelete(const char* name)
{
    return vx::remove(name) == vx::OK ? OSAPI_FILE_OK : OSAPI_FILE_ERROR;
}

int osapiFileReadWithLen(int fd, void* buf, uint32_t* count)
{
    uint32_t want = *count;
    uint32_t got = 0;
    *count = 0;
    if (osapiFileLockTake() != OSAPI_FILE_OK)
        return OSAPI_FILE_ERROR;
    while (got < want) {
        int32_t n = vx::read(fd, static_cast<uint8_t*>(buf) + got, want - got);
        if (n < 0) {
            *count = got;
            osapiFileLockGive();
            return OSAPI_FILE_ERROR;
        }
        if (n == 0)
            break;
        got += static_cast<uint32_t>(n);
    }
    *count = got;
    osapiFileLockGive();
    return OSAPI_FILE_OK;
}

int osapiFileRead(int fd, void* buf, uint32_t count)
{
    uint32_t n = count;
    return osapiFileReadWithLen(fd, buf, &n);
}

int osapiFileWrite(int fd, const void* buf, uint32_t count)
{
    if (osapiFileLockTake() != OSAPI_FILE_OK)
        return OSAPI_FILE_ERROR;
    int32_t n = vx::write(fd, buf, count);
    osapiFileLockGive();
    return (n >= 0 && static_cast<uint32_t>(n) == count) ? OSAPI_FILE_OK : OSAPI_FILE_ERROR;
}

int osapiFileSizeGet(const char* name, uint32_t* size)
{
    *size = 0;
    int fd = vx::open(name, vx::RDWR, 0);
    if (fd < 0)
        return OSAPI_FILE_ERROR;
    vx::Stat st{};
    int rc = vx::fstat(fd, &st);
    vx::close(fd);
    if (rc != vx::OK)
        return OSAPI_FILE_ERROR;
    *size = st.size;
    return OSAPI_FILE_OK;
}

void osapiFileReset()
{
    if (osapiFileLock != nullptr)
        vx::semDelete(osapiFileLock);
    osapiFileLock = nullptr;
}
