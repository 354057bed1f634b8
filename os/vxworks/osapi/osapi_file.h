/*
 * osapi_file.h - the file access layer: uniform result codes over the platform's
 * file calls, one lock around open, close, read and write, whole reads.
 */
#ifndef OSAPI_FILE_H
#define OSAPI_FILE_H

#include <cstdint>

constexpr int OSAPI_FILE_OK = 0;
constexpr int OSAPI_FILE_ERROR = 2;

int osapiFileOpen(const char* name);
int osapiFileCreate(const char* name, int* fd);
int osapiFileClose(int fd);
int osapiFileDelete(const char* name);
int osapiFileReadWithLen(int fd, void* buf, uint32_t* count);
int osapiFileRead(int fd, void* buf, uint32_t count);
int osapiFileWrite(int fd, const void* buf, uint32_t count);
int osapiFileSizeGet(const char* name, uint32_t* size);

/* The layer's lock, for callers that write to a file with the platform's calls
 * and must keep other users of the layer out meanwhile (the text logs). Not
 * recursive: no layer operation may be called while it is held. */
int osapiFileLockTake();
void osapiFileLockGive();

/* Puts the layer back to its power-on state (lock free); for tests that cut
 * the power in the middle of a call. */
void osapiFileReset();

#endif
