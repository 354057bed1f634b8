// files/files.h - the flash disk volume "/DskVol/" over a host directory, with the
// board disk's rules: confined paths, case-insensitive DOS names, directories
// in creation order, cluster-counted capacity and the board's error numbers.
//
// Internal to host/os: the vx:: file calls (files.cpp) and the shell-style
// services (files/shell.cpp) are thin wrappers over the single FileSystem.
// Every operation returns 0 or a vx::E_* error number; nothing here touches
// the caller's errno.
//
// Error numbers:
//   E_NOENT        missing entry; a path outside "/DskVol" (".." above its root,
//                  another device name); any path before the volume is mounted;
//                  a relative path while the current directory is "/"
//   E_INVAL        a name with : * ? " < > | \ or a control character, the
//                  index's reserved names, open access mode 3, bad seek,
//                  moving a directory into itself
//   E_NAMETOOLONG  a name over 255 characters, a board path over 255, a
//                  getcwd buffer too small
//   E_ACCES        the name is held by a host entry the board cannot see (a link)
//   E_EXIST        rename or mkdir onto an existing name (case-insensitively)
//   E_ISDIR        writing a directory, removing one, replacing one
//   E_NOTDIR       a file used as a directory
//   E_BADF         unknown descriptor or stream, write on a read-only one,
//                  read on a write-only one
//   E_MFILE        all 50 descriptors (or directory streams) in use
//   E_NOSPC        the write, truncation or mkdir needs more clusters than are free
//   E_IO           other host failures
#pragma once

#include "host/os/hostos.h"
#include "osapi.h"

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace host::files {

// ---- Names --------------------------------------------------------------------

constexpr size_t kMaxName = 255;      // longest DOS long name
constexpr size_t kMaxPath = 255;      // longest board path, "/DskVol/..." included
constexpr const char* kVolumeName = "/DskVol";

// The per-directory index of entries in slot order; never visible on the board.
constexpr const char* kIndexName = ".dosdir";
constexpr const char* kIndexTempName = ".dosdir.new";

// 0 when name may name a file or directory, else E_INVAL (empty, reserved or a
// character the DOS format forbids) or E_NAMETOOLONG.
int checkName(const std::string& name);
// DOS names compare without regard to (ASCII) case.
bool sameName(const std::string& a, const std::string& b);
// Maps a host errno value to the board's error number.
int boardError(int hostErrno);

// Keeps a host directory's modification time across changes to its entries:
// on the board a directory's time is that of its creation.
class DirTimeGuard {
public:
    explicit DirTimeGuard(std::string hostDir);
    ~DirTimeGuard();
    DirTimeGuard(const DirTimeGuard&) = delete;
    DirTimeGuard& operator=(const DirTimeGuard&) = delete;

private:
    std::string dir_;
    struct timespec times_[2]{};
    bool saved_ = false;
};

// ---- Directory index ------------------------------------------------------------

// The entries of one host directory in slot order. The order lives in a small
// text file in that directory: a header line, then one line per slot, the
// entry's name or an empty line for a free slot. load() reconciles it with
// what the host directory really holds: slots whose entries vanished are
// freed, entries nobody recorded (put there by hand) are appended in name
// order. Changes are written back at once (a new file, then a rename).
class DirIndex {
public:
    struct Slot {
        std::string name; // empty: free slot
        bool isDir = false;
    };

    explicit DirIndex(std::string hostDir) : dir_(std::move(hostDir)) {}
    int load();
    const std::vector<Slot>& slots() const { return slots_; }
    // Slot of the entry named name: the exact spelling first, else the first
    // one that differs only in case; -1 when there is none.
    int find(const std::string& name) const;
    // Takes the first free slot (or a new one at the end).
    int add(const std::string& name, bool isDir);
    void release(int slot);
    void rename(int slot, const std::string& name);
    int save();

    // Regular files and directories of a host directory whose names the board
    // can use (index files, links and other kinds are left out), sorted by name.
    static int scanHost(const std::string& hostDir, std::vector<Slot>& out);

private:
    std::string dir_;
    std::vector<Slot> slots_;
};

// ---- Volume -----------------------------------------------------------------------

// A board path resolved inside the volume: the actual names of its components
// (the last one as asked for when it does not exist).
struct Resolved {
    std::vector<std::string> parts; // empty: the volume root
    std::string asked;              // the last component as written by the caller
    bool exists = false;
    bool isDir = false;
    bool trailingSlash = false;
};

struct Usage {
    uint64_t clusters = 0; // in use: whole clusters per file, one per directory
    uint64_t files = 0;
    uint64_t dirs = 0;     // below the root
    uint64_t fileBytes = 0;
};

struct ListedEntry {
    std::string name;
    vx::Stat st{};
};

// Path resolution, the directory indexes and capacity of the one volume.
class Volume {
public:
    void configure(const VolumeConfig& cfg);
    const VolumeConfig& config() const { return cfg_; }
    int mount(const char* volume);
    bool mounted() const { return mounted_; }
    // The flash disk stand-in: the capacity of the formatted flash disk, and
    // its unmounting (the current directory is kept as a path, as the
    // board's is, and simply fails to resolve while it does not exist).
    void setCapacity(uint32_t clusters) { cfg_.clusters = clusters; }
    void unmount() { mounted_ = false; }
    // Deletes everything in the volume directory (it must not be mounted).
    int erase();

    int resolve(const char* path, Resolved& out) const;
    std::string hostPath(const std::vector<std::string>& parts) const;
    static std::string boardPath(const std::vector<std::string>& parts);

    // Opens (and with CREAT creates) a file; returns the host descriptor in hostFd.
    int open(const char* path, int flags, int& hostFd, bool& isDir);
    int mkdir(const char* path);
    int remove(const char* path);
    int rename(const char* oldPath, const char* newPath, bool replace);
    int stat(const char* path, vx::Stat& st) const;
    int chdir(const char* path);
    std::string cwd() const;
    // Entries in directory order ("." and ".." first below the root), with status.
    int list(const char* path, std::string& boardDir, std::vector<ListedEntry>& out) const;

    Usage usage() const;
    uint64_t freeClusters() const;
    uint64_t clustersFor(uint64_t bytes) const;

private:
    int lookup(const std::vector<std::string>& dirParts, const std::string& name,
               std::string& actual, bool& isDir) const;
    int createFile(const Resolved& r, int access, int& hostFd);
    void usageOf(const std::string& hostDir, Usage& u, int depth) const;

    VolumeConfig cfg_;
    bool mounted_ = false;
    bool cwdOnVolume_ = false;          // false: "/", which is no volume
    std::vector<std::string> cwdParts_; // below the volume root
};

// Host status of an open or named entry in board form.
void toBoardStat(const struct ::stat& hs, vx::Stat& st);
// Sets a host file's (or directory's) modification time to the system calendar clock.
void stampNow(int hostFd);
void stampPathNow(const std::string& hostPath);

// ---- Descriptors --------------------------------------------------------------------

class DescriptorTable {
public:
    static constexpr int kFirst = 3;
    static constexpr int kSize = 50;

    struct Entry {
        bool used = false;
        int hostFd = -1;
        int access = vx::RDONLY; // RDONLY, WRONLY or RDWR
        bool isDir = false;
    };

    // The board descriptor, or -1 when the table is full.
    int allocate(const Entry& e);
    Entry* get(int fd);
    void release(int fd);
    void closeAll();
    int inUse() const;

private:
    std::array<Entry, kSize> entries_{};
};

// ---- The file system ----------------------------------------------------------------

// The volume, its open descriptors and directory streams, and the fault
// injection counters, under one lock.
class FileSystem {
public:
    void init(const VolumeConfig& cfg);
    void setPowerCutAfterWrites(uint64_t n);
    void setWriteErrorAt(uint64_t n);
    void setRenameErrorAt(uint64_t n);

    int mount(const char* volume);
    // The flash disk stand-in: formatting closes every descriptor and
    // directory stream, unmounts and empties the volume; mounting a
    // formatted flash disk sets its capacity.
    int format();
    int mountFormatted(const char* volume, uint32_t clusters);
    void unmount();
    int open(const char* path, int flags, int& fd);
    int read(int fd, void* buf, size_t n, int32_t& done);
    int write(int fd, const void* buf, size_t n, int32_t& done);
    int close(int fd);
    int lseek(int fd, int32_t offset, int whence, int32_t& pos);
    int ftruncate(int fd, int32_t length);
    int fstat(int fd, vx::Stat& st);
    int fstatfs(int fd, vx::StatFs& st);
    int remove(const char* path);
    int rename(const char* oldPath, const char* newPath, bool replace);
    int stat(const char* path, vx::Stat& st);
    int mkdir(const char* path);
    int chdir(const char* path);
    int getcwd(char* buf, int size);
    int opendir(const char* path, vx::DirStream*& dir);
    int readdir(vx::DirStream* dir, vx::Dirent*& ent);
    int closedir(vx::DirStream* dir);

    // For the shell-style services.
    int list(const char* path, std::string& boardDir, std::vector<ListedEntry>& out);
    struct VolumeInfo {
        VolumeConfig cfg;
        Usage usage;
        std::string cwd;
        int openFiles = 0;
    };
    int volumeInfo(const char* volume, VolumeInfo& info);

private:
    static constexpr size_t kMaxStreams = 50;

    std::mutex mutex_;
    Volume volume_;
    DescriptorTable fds_;
    std::vector<vx::DirStream*> streams_;
    uint64_t powerCutCountdown_ = 0;
    uint64_t writeErrorCountdown_ = 0;
    uint64_t renameErrorCountdown_ = 0;
};

FileSystem& fileSystem();

} // namespace host::files
