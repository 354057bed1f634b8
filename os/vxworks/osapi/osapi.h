/*
 * osapi.h - the operating-system service boundary of the boot code.
 *
 * Everything the system modules need from the kernel, the I/O system, the DOS
 * file system and the C library's console side is declared here, in namespace
 * vx, with the board's own constants. System code calls these (vx::printf,
 * vx::open, vx::taskDelay ...) and never the host's libc equivalents: on the
 * board they are the VxWorks calls, on the development host host/os provides
 * them over the board model.
 *
 * Numbers keep the board's widths: int and long are 32 bits there, so the
 * boundary uses int32_t/uint32_t where the width shows.
 */
#ifndef OSAPI_H
#define OSAPI_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>

namespace vx {

using STATUS = int;
constexpr int OK = 0;
constexpr int ERROR = -1;

/* ---- Console ------------------------------------------------------------ */

/* Standard descriptors: all three are the console tty. */
constexpr int STD_IN = 0;
constexpr int STD_OUT = 1;
constexpr int STD_ERR = 2;

/* Console control requests (ioctl codes). */
constexpr int FIOFLUSH = 2;        /* flush both directions */
constexpr int FIOSETOPTIONS = 3;   /* set the line options word */
constexpr int FIOBAUDRATE = 4;     /* set the line speed; -1 if unsupported */
constexpr int FIOGETOPTIONS = 19;  /* return the line options word */
constexpr int FIORFLUSH = 26;      /* discard unread input */
constexpr int SIO_BAUD_GET = 0x1004; /* read the channel's baud rate into an int32_t */

/* Line option bits (the options word). */
constexpr int OPT_ECHO = 0x01;     /* echo input */
constexpr int OPT_CRMOD = 0x02;    /* CR in -> LF; LF out -> CR LF */
constexpr int OPT_TANDEM = 0x04;   /* X-on/X-off output flow control */
constexpr int OPT_7_BIT = 0x08;    /* strip input to 7 bits */
constexpr int OPT_MON_TRAP = 0x10; /* reboot character (Ctrl-X) resets the board */
constexpr int OPT_ABORT = 0x20;    /* abort character (Ctrl-C) */
constexpr int OPT_LINE = 0x40;     /* line mode: editing, whole lines */
constexpr int OPT_RAW = 0;
constexpr int OPT_TERMINAL = 0x7f;

/* Formatted output to standard output / to the error stream (both the console). */
int printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int vprintf(const char* fmt, va_list ap);
int printErr(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
/* Formatting into a caller buffer (the C library's, with the board's int widths). */
int snprintf(char* buf, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int vsnprintf(char* buf, size_t size, const char* fmt, va_list ap);
/* Write buffered standard output to the line. */
void fflushStdout();
/* Line input from standard input: at most size-1 characters, the new-line kept
 * when it fits (fgets). Returns buf, or nullptr on end of input with nothing read. */
char* fgetsStdin(char* buf, int size);

/* Wait until descriptor 0 is ready for reading. timeoutUsec < 0 waits without
 * limit. Returns 1 when ready, 0 when the limit passed, -1 on error. This is the
 * readiness wait (select) with a width of 1 and only descriptor 0 watched. */
int selectStdin(int32_t seconds, int32_t microseconds);

/* Console requests on a descriptor (0-2); arg is a value or, for SIO_BAUD_GET,
 * the address of an int32_t. Returns -1 on failure. */
int ioctl(int fd, int request, intptr_t arg);

/* ---- Files (flash disk volume "/DskVol/") --------------------------------- */
/* Constant names avoid the host's O_*, SEEK_* and S_IF* macros, which the
 * host implementation sees beside this header. */

constexpr int RDONLY = 0;   /* open flags */
constexpr int WRONLY = 1;
constexpr int RDWR = 2;
constexpr int CREAT = 0x200;
constexpr int TRUNC = 0x400;

constexpr int SEEK_FROM_START = 0;
constexpr int SEEK_FROM_CUR = 1;
constexpr int SEEK_FROM_END = 2;

constexpr uint32_t MODE_IFMT = 0xF000;
constexpr uint32_t MODE_IFREG = 0x8000;
constexpr uint32_t MODE_IFDIR = 0x4000;

/* Error numbers (the board's values). Names avoid the host's errno macros. */
constexpr int E_NOENT = 2;
constexpr int E_IO = 5;
constexpr int E_BADF = 9;
constexpr int E_NOMEM = 12;
constexpr int E_ACCES = 13;
constexpr int E_EXIST = 17;
constexpr int E_NOTDIR = 20;
constexpr int E_ISDIR = 21;
constexpr int E_INVAL = 22;
constexpr int E_MFILE = 24;
constexpr int E_NAMETOOLONG = 26;
constexpr int E_NOSPC = 28;
constexpr int E_NOTEMPTY = 53;

/* Field names avoid the host's st_* macros. */
struct Stat {
    uint32_t size;
    uint32_t mtime; /* seconds since 1970 (system calendar clock) */
    uint32_t mode;  /* MODE_IFREG or MODE_IFDIR | permission bits */
};

struct StatFs {
    int32_t f_bsize;  /* cluster size in bytes */
    int32_t f_blocks; /* clusters on the volume */
    int32_t f_bfree;  /* free clusters */
};

struct Dirent {
    char d_name[256];
};
struct DirStream; /* opaque directory stream */

/* All return -1 on failure with errnoGet() set. Descriptors for files start at 3. */
int open(const char* name, int flags, int mode);
int creat(const char* name, int flags);
int32_t read(int fd, void* buf, size_t n);
int32_t write(int fd, const void* buf, size_t n);
int close(int fd);
int32_t lseek(int fd, int32_t offset, int whence);
int ftruncate(int fd, int32_t length);
int remove(const char* name);
/* Fails (E_EXIST) when newName exists: never replaces. */
int rename(const char* oldName, const char* newName);
/* Explicit replace: newName (if present) is removed, then oldName renamed to it.
 * Like the board's, it is two steps; a power cut between them leaves oldName only. */
int renameReplace(const char* oldName, const char* newName);
int stat(const char* name, Stat* st);
int fstat(int fd, Stat* st);
int fstatfs(int fd, StatFs* st);
int mkdir(const char* name);
int chdir(const char* path);
/* Current directory path, e.g. "/DskVol/files". Returns buf or nullptr. */
char* getcwd(char* buf, int size);
DirStream* opendir(const char* path);
Dirent* readdir(DirStream* dir);
int closedir(DirStream* dir);

int errnoGet();
void errnoSet(int err);
const char* strerror(int err);

/* Mounts the flash disk's DOS volume (e.g. "/DskVol/"); 0 or -1. Files on a
 * volume that is not mounted cannot be reached. */
int dosFsMount(const char* volume);

/* Shell-style services (usrLib / dosFsLib). */
int cd(const char* path);           /* prints "cd: error = %#x.\n" on failure */
void pwd();                          /* current directory path and a new-line */
int llr(const char* path);           /* long recursive listing on the console */
int dosFsShow(const char* volume, int level); /* volume parameters at a detail level */

/* ---- TrueFFS: the flash translation layer under "/DskVol/" ---------------- */
/* The board support registers one socket and one flash identify routine when
 * the operating system starts TrueFFS (it calls sysTffsInit); TrueFFS then
 * reaches the flash only through them. Status values are TrueFFS's own. */

constexpr int FL_OK = 0;
constexpr int FL_WRITE_PROTECT = 19;
constexpr int FL_BAD_DRIVE_HANDLE = 20;
constexpr int FL_BAD_FORMAT = 23;
constexpr int FL_UNKNOWN_MEDIA = 26;
constexpr int FL_WRITE_FAULT = 29;
constexpr int FL_BAD_PARAMETER = 51;
constexpr int FL_VOLUME_TOO_SMALL = 64;
constexpr int FL_TOO_MANY_COMPONENTS = 102;

constexpr int FL_SOCKETS = 5;          /* sockets TrueFFS can hold */
constexpr uint32_t FL_WINDOW_UNIT = 4096; /* window base and size are in these */
constexpr uint32_t TL_FORMAT = 1;      /* format flags: translation layer and DOS file system */

struct FlSocket;
struct FlFlash;

struct FlSocket {
    const char* name;
    uint32_t serialNo;
    uint32_t windowBase;  /* in 4 KiB units */
    uint32_t windowSize;  /* in 4 KiB units */
    int windowBusWidth;   /* bits */
    int windowSpeedNs;
    int cardChanged;
    int (*cardDetected)(FlSocket*);
    void (*vccOn)(FlSocket*);
    void (*vccOff)(FlSocket*);
    int (*vppOn)(FlSocket*);
    void (*vppOff)(FlSocket*);
    int (*initSocket)(FlSocket*);
    void (*setWindow)(FlSocket*);
    void (*setMappingContext)(FlSocket*, uint32_t page);
    int (*getAndClearCardChangeIndicator)(FlSocket*);
    int (*writeProtected)(FlSocket*);
};

struct FlFlash {
    FlSocket* socket;
    uint32_t type;               /* flash type (device id) */
    uint32_t erasableBlockSize;  /* erase unit in bytes */
    uint32_t chipSize;           /* bytes TrueFFS may use */
    int noOfChips;
    int interleaving;
    /* Board address of the medium's byte at address (read directly). */
    uint32_t (*map)(FlFlash*, uint32_t address, int length);
    int (*write)(FlFlash*, uint32_t address, const void* buffer, int length);
    int (*erase)(FlFlash*, int firstErasableBlock, int numOfErasableBlocks);
};

using FlIdentifyRoutine = int (*)(FlSocket*, FlFlash*);
using FlProgressCallback = int (*)(int totalUnitsToFormat, int totalUnitsFormattedSoFar);

struct FormatParams {
    int32_t bootImageLen;
    uint32_t percentUse;
    uint32_t noOfSpareUnits;
    uint32_t vmAddressingLimit;
    FlProgressCallback progressCallback;
    const uint8_t* volumeId;
    const char* volumeLabel;
    uint32_t noOfFATcopies;
    uint32_t embeddedCISlength;
    const uint8_t* embeddedCIS;
};

struct TffsDevFormatParams {
    FormatParams formatParams;
    uint32_t formatFlags;
};

/* Registration by the board support (sysTffsInit): 0, or FL_TOO_MANY_COMPONENTS. */
int tffsSocketRegister(FlSocket* socket);
int tffsMtdRegister(FlIdentifyRoutine identify);
/* Creates the block device of a drive, its block cache and the DOS file system
 * device named fileName, and mounts it: 0, or non-zero (with the messages
 * "drive is out of range (0-%d).\n" or "tffsDevCreate failed.\n") when the
 * drive is unknown, the flash cannot be identified or holds no valid format. */
int usrTffsConfig(int drive, int removable, const char* fileName);
/* Formats a drive: every erase unit erased (progress reported through the
 * callback), the file system emptied, the format recorded last. 0 or a
 * TrueFFS status. */
int tffsDevFormat(int drive, const TffsDevFormatParams* params);

/* ---- Time ------------------------------------------------------------- */

int sysClkRateGet();          /* 100 */
uint32_t tickGet();           /* ticks since boot */
int taskDelay(int32_t ticks); /* 0 only yields */

/* Suspends the calling task for good: a halted board that needs a manual
 * reset (it waits without spinning; the reset and power buttons still work). */
[[noreturn]] void taskSuspendSelf();

struct TimeSpec {
    int32_t tv_sec;
    int32_t tv_nsec;
};
/* Sleeps; when cut short returns -1 and stores the remaining time in rem. */
int nanosleep(const TimeSpec* req, TimeSpec* rem);

using Time = uint32_t; /* the board's 32-bit time_t */
Time time(Time* out);
Time mktime(std::tm* tm);                   /* broken-down UTC -> seconds since 1970 */
int localtime_r(const Time* t, std::tm* out); /* seconds -> broken-down (UTC) */
int clockSettime(uint32_t sec, uint32_t nsec); /* sets the system calendar clock */

/* ---- Memory --------------------------------------------------------------- */

/* The system memory pool in DRAM. */
void* malloc(size_t n);
void* calloc(size_t count, size_t n);
void free(void* p);
size_t memFindMax(); /* largest free block */

/* Pointers into DRAM and board physical addresses. */
uint32_t ptrToBoardAddr(const void* p);
/* nullptr when [addr, addr+len) is not DRAM. */
void* boardAddrToPtr(uint32_t addr, uint32_t len);

/* ---- Synchronisation -------------------------------------------------------- */

struct Semaphore; /* opaque */
using SEM_ID = Semaphore*;
constexpr int SEM_Q_FIFO = 0;
constexpr int SEM_EMPTY = 0;
constexpr int SEM_FULL = 1;
constexpr int32_t WAIT_FOREVER = -1;
constexpr int32_t NO_WAIT = 0;

SEM_ID semBCreate(int options, int initialState);
STATUS semTake(SEM_ID sem, int32_t timeoutTicks);
STATUS semGive(SEM_ID sem);
STATUS semDelete(SEM_ID sem);
bool intContext(); /* true when called from interrupt context */
int32_t taskIdSelf(); /* identifier of the calling task */

/* ---- Signals ---------------------------------------------------------------- */

constexpr int SIG_TERM = 15;
using SigHandler = void (*)(int);
constexpr SigHandler SIG_DEFAULT = nullptr;
/* Installs a handler and returns the previous one. A termination signal sent to
 * the host process reaches the installed handler on the boot task. */
SigHandler signal(int sig, SigHandler handler);
int sigsetmask(int mask); /* sets the task's signal mask, returns the old one */
int sigblockMaskGet();

/* ---- Processor --------------------------------------------------------------- */

constexpr uint32_t MSR_CE = 0x20000;
constexpr uint32_t MSR_EE = 0x8000;
int intLock();         /* clears CE and EE; returns the previous MSR */
void intUnlock(int key);
uint32_t vxMsrGet();
void vxMsrSet(uint32_t msr);
void vxL1csr1Set(uint32_t v);
uint32_t vxL1csr1Get();
void vxHid0Set(uint32_t v);
/* Special-purpose registers the core display reads. */
uint32_t vxHid0Get();
uint32_t vxHid1Get();
uint32_t vxL1csr0Get();
uint32_t vxL1cfg0Get();
uint32_t vxL1cfg1Get();
uint32_t vxPvrGet();    /* processor version */
uint32_t vxSvrGet();    /* system (SoC) version */
void vxSync();          /* msync/isync */
uint32_t sysPlatformClkRate(); /* platform (CCB) clock in Hz */

/* ---- PCI (pciConfigLib, pciConfigShow) ---------------------------------------- */

/* Configuration reads at (bus 0-255, device 0-31, function 0-7, offset 0-255,
 * aligned to the width). A device that is not there reads all ones. Return -1
 * for arguments out of range or a failed cycle. */
STATUS pciConfigInByte(int bus, int dev, int func, int offset, uint8_t* val);
STATUS pciConfigInWord(int bus, int dev, int func, int offset, uint16_t* val);
STATUS pciConfigInLong(int bus, int dev, int func, int offset, uint32_t* val);
/* The configuration header of a function, field by field, on the console. */
STATUS pciHeaderShow(int bus, int dev, int func);
/* A function's type, status and command bits and its address windows. */
STATUS pciConfigFuncShow(int bus, int dev, int func);

/* Board reset: enables EE, then stores 0 to the reset register for ever. */
[[noreturn]] void sysReset();

/* Entering loaded code: the last call of a launch. kind is "opcode" or "diag". */
[[noreturn]] void sysEnterCode(const char* kind, uint32_t entry, uint32_t startArg,
                               uint32_t loadAddr, uint32_t loadLen);

} // namespace vx

#endif
