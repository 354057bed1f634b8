// files/files.cpp - the vx:: file calls: a fixed table of descriptors from 3 up over
// host descriptors of files on the volume, write-through writes with the
// volume's capacity enforced and power-cut injection, directory streams, the
// current directory and the task's error number. Descriptors 0-2 are the console.
#include "host/os/files/files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

namespace vx {
// A snapshot of the names of a directory, taken when it was opened.
struct DirStream {
    std::vector<std::string> names;
    size_t next = 0;
    Dirent entry{};
};
} // namespace vx

namespace host::files {
namespace {

bool isConsole(int fd) { return fd >= 0 && fd < DescriptorTable::kFirst; }

} // namespace

// ---- DescriptorTable ------------------------------------------------------------------

int DescriptorTable::allocate(const Entry& e)
{
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (!entries_[i].used) {
            entries_[i] = e;
            entries_[i].used = true;
            return kFirst + int(i);
        }
    }
    return -1;
}

DescriptorTable::Entry* DescriptorTable::get(int fd)
{
    if (fd < kFirst || fd >= kFirst + kSize) return nullptr;
    Entry& e = entries_[size_t(fd - kFirst)];
    return e.used ? &e : nullptr;
}

void DescriptorTable::release(int fd)
{
    if (Entry* e = get(fd)) *e = Entry{};
}

void DescriptorTable::closeAll()
{
    for (auto& e : entries_) {
        if (e.used) ::close(e.hostFd);
        e = Entry{};
    }
}

int DescriptorTable::inUse() const
{
    return int(std::count_if(entries_.begin(), entries_.end(), [](const Entry& e) { return e.used; }));
}

// ---- FileSystem ------------------------------------------------------------------------

FileSystem& fileSystem()
{
    static FileSystem fs;
    return fs;
}

void FileSystem::init(const VolumeConfig& cfg)
{
    std::lock_guard<std::mutex> g(mutex_);
    fds_.closeAll();
    for (auto* s : streams_) delete s;
    streams_.clear();
    volume_.configure(cfg);
    powerCutCountdown_ = writeErrorCountdown_ = renameErrorCountdown_ = 0;
}

void FileSystem::setPowerCutAfterWrites(uint64_t n)
{
    std::lock_guard<std::mutex> g(mutex_);
    powerCutCountdown_ = n;
}

void FileSystem::setWriteErrorAt(uint64_t n)
{
    std::lock_guard<std::mutex> g(mutex_);
    writeErrorCountdown_ = n;
}

void FileSystem::setRenameErrorAt(uint64_t n)
{
    std::lock_guard<std::mutex> g(mutex_);
    renameErrorCountdown_ = n;
}

int FileSystem::mount(const char* volume)
{
    std::lock_guard<std::mutex> g(mutex_);
    return volume_.mount(volume);
}

int FileSystem::format()
{
    std::lock_guard<std::mutex> g(mutex_);
    fds_.closeAll();
    for (auto* s : streams_) delete s;
    streams_.clear();
    volume_.unmount();
    return volume_.erase();
}

int FileSystem::mountFormatted(const char* volume, uint32_t clusters)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (clusters == 0) return vx::E_IO;
    volume_.setCapacity(clusters);
    return volume_.mount(volume);
}

void FileSystem::unmount()
{
    std::lock_guard<std::mutex> g(mutex_);
    volume_.unmount();
}

int FileSystem::open(const char* path, int flags, int& fd)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (fds_.inUse() == DescriptorTable::kSize) return vx::E_MFILE;
    DescriptorTable::Entry e;
    e.access = flags & 3;
    if (int err = volume_.open(path, flags, e.hostFd, e.isDir)) return err;
    fd = fds_.allocate(e);
    return 0;
}

int FileSystem::read(int fd, void* buf, size_t n, int32_t& done)
{
    std::lock_guard<std::mutex> g(mutex_);
    DescriptorTable::Entry* e = fds_.get(fd);
    if (!e || e->access == vx::WRONLY) return vx::E_BADF;
    if (e->isDir) return vx::E_ISDIR;
    if (!buf && n) return vx::E_INVAL;
    n = std::min<size_t>(n, INT32_MAX);
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(e->hostFd, static_cast<char*>(buf) + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && got == 0) return boardError(errno);
        if (r <= 0) break;
        got += size_t(r);
    }
    done = int32_t(got);
    return 0;
}

int FileSystem::write(int fd, const void* buf, size_t n, int32_t& done)
{
    std::lock_guard<std::mutex> g(mutex_);
    DescriptorTable::Entry* e = fds_.get(fd);
    if (!e || e->access == vx::RDONLY) return vx::E_BADF;
    if (!buf && n) return vx::E_INVAL;
    if (n > INT32_MAX) return vx::E_INVAL;
    // The power fails during this write: nothing of it reaches the disk.
    if (powerCutCountdown_ && --powerCutCountdown_ == 0) host::powerCut("power cut during a file write");
    // A failing device: this write stores nothing.
    if (writeErrorCountdown_ && --writeErrorCountdown_ == 0) return vx::E_IO;

    struct ::stat hs;
    if (::fstat(e->hostFd, &hs) != 0) return boardError(errno);
    off_t pos = ::lseek(e->hostFd, 0, SEEK_CUR);
    if (pos < 0) return boardError(errno);
    uint64_t size = uint64_t(hs.st_size);
    uint64_t end = std::max<uint64_t>(size, uint64_t(pos) + n);
    if (end > INT32_MAX) return vx::E_NOSPC;
    uint64_t extra = volume_.clustersFor(end) - volume_.clustersFor(size);
    if (extra > 0 && extra > volume_.freeClusters()) return vx::E_NOSPC; // a full disk takes nothing

    size_t put = 0;
    while (put < n) {
        ssize_t w = ::write(e->hostFd, static_cast<const char*>(buf) + put, n - put);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            int err = w < 0 ? boardError(errno) : vx::E_IO;
            stampNow(e->hostFd);
            return err;
        }
        put += size_t(w);
    }
    stampNow(e->hostFd);
    done = int32_t(n);
    return 0;
}

int FileSystem::close(int fd)
{
    std::lock_guard<std::mutex> g(mutex_);
    DescriptorTable::Entry* e = fds_.get(fd);
    if (!e) return vx::E_BADF;
    int rc = ::close(e->hostFd);
    fds_.release(fd);
    return rc == 0 ? 0 : vx::E_IO;
}

int FileSystem::lseek(int fd, int32_t offset, int whence, int32_t& pos)
{
    std::lock_guard<std::mutex> g(mutex_);
    DescriptorTable::Entry* e = fds_.get(fd);
    if (!e) return vx::E_BADF;
    if (e->isDir) return vx::E_ISDIR;
    int64_t base = 0;
    if (whence == vx::SEEK_FROM_CUR) {
        base = ::lseek(e->hostFd, 0, SEEK_CUR);
    } else if (whence == vx::SEEK_FROM_END) {
        struct ::stat hs;
        base = ::fstat(e->hostFd, &hs) == 0 ? hs.st_size : -1;
    } else if (whence != vx::SEEK_FROM_START) {
        return vx::E_INVAL;
    }
    if (base < 0) return vx::E_IO;
    int64_t target = base + offset;
    if (target < 0 || target > INT32_MAX) return vx::E_INVAL;
    if (::lseek(e->hostFd, off_t(target), SEEK_SET) < 0) return boardError(errno);
    pos = int32_t(target);
    return 0;
}

int FileSystem::ftruncate(int fd, int32_t length)
{
    std::lock_guard<std::mutex> g(mutex_);
    DescriptorTable::Entry* e = fds_.get(fd);
    if (!e || e->access == vx::RDONLY) return vx::E_BADF;
    if (length < 0) return vx::E_INVAL;
    struct ::stat hs;
    if (::fstat(e->hostFd, &hs) != 0) return boardError(errno);
    uint64_t now = volume_.clustersFor(uint64_t(hs.st_size)), wanted = volume_.clustersFor(uint64_t(length));
    if (wanted > now && wanted - now > volume_.freeClusters()) return vx::E_NOSPC;
    if (::ftruncate(e->hostFd, off_t(length)) != 0) return boardError(errno);
    stampNow(e->hostFd);
    return 0;
}

int FileSystem::fstat(int fd, vx::Stat& st)
{
    std::lock_guard<std::mutex> g(mutex_);
    DescriptorTable::Entry* e = fds_.get(fd);
    if (!e) return vx::E_BADF;
    struct ::stat hs;
    if (::fstat(e->hostFd, &hs) != 0) return boardError(errno);
    toBoardStat(hs, st);
    return 0;
}

int FileSystem::fstatfs(int fd, vx::StatFs& st)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (!fds_.get(fd)) return vx::E_BADF;
    const VolumeConfig& cfg = volume_.config();
    st.f_bsize = int32_t(std::min<uint64_t>(cfg.clusterBytes, INT32_MAX));
    st.f_blocks = int32_t(std::min<uint64_t>(cfg.clusters, INT32_MAX));
    st.f_bfree = int32_t(std::min<uint64_t>(volume_.freeClusters(), INT32_MAX));
    return 0;
}

int FileSystem::remove(const char* path)
{
    std::lock_guard<std::mutex> g(mutex_);
    return volume_.remove(path);
}

int FileSystem::rename(const char* oldPath, const char* newPath, bool replace)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (renameErrorCountdown_ && --renameErrorCountdown_ == 0) return vx::E_IO; // both names stay as they were
    return volume_.rename(oldPath, newPath, replace);
}

int FileSystem::stat(const char* path, vx::Stat& st)
{
    std::lock_guard<std::mutex> g(mutex_);
    return volume_.stat(path, st);
}

int FileSystem::mkdir(const char* path)
{
    std::lock_guard<std::mutex> g(mutex_);
    return volume_.mkdir(path);
}

int FileSystem::chdir(const char* path)
{
    std::lock_guard<std::mutex> g(mutex_);
    return volume_.chdir(path);
}

int FileSystem::getcwd(char* buf, int size)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (!buf || size <= 0) return vx::E_INVAL;
    std::string cwd = volume_.cwd();
    if (cwd.size() + 1 > size_t(size)) return vx::E_NAMETOOLONG;
    std::memcpy(buf, cwd.c_str(), cwd.size() + 1);
    return 0;
}

int FileSystem::opendir(const char* path, vx::DirStream*& dir)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (streams_.size() >= kMaxStreams) return vx::E_MFILE;
    std::string boardDir;
    std::vector<ListedEntry> entries;
    if (int err = volume_.list(path, boardDir, entries)) return err;
    auto* s = new vx::DirStream;
    for (auto& e : entries) s->names.push_back(std::move(e.name));
    streams_.push_back(s);
    dir = s;
    return 0;
}

int FileSystem::readdir(vx::DirStream* dir, vx::Dirent*& ent)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (!dir || std::find(streams_.begin(), streams_.end(), dir) == streams_.end()) return vx::E_BADF;
    ent = nullptr;
    if (dir->next >= dir->names.size()) return 0;
    const std::string& name = dir->names[dir->next++];
    size_t n = std::min(name.size(), sizeof dir->entry.d_name - 1);
    std::memcpy(dir->entry.d_name, name.data(), n);
    dir->entry.d_name[n] = '\0';
    ent = &dir->entry;
    return 0;
}

int FileSystem::closedir(vx::DirStream* dir)
{
    std::lock_guard<std::mutex> g(mutex_);
    auto it = std::find(streams_.begin(), streams_.end(), dir);
    if (!dir || it == streams_.end()) return vx::E_BADF;
    streams_.erase(it);
    delete dir;
    return 0;
}

int FileSystem::list(const char* path, std::string& boardDir, std::vector<ListedEntry>& out)
{
    std::lock_guard<std::mutex> g(mutex_);
    return volume_.list(path, boardDir, out);
}

int FileSystem::volumeInfo(const char* volume, VolumeInfo& info)
{
    std::lock_guard<std::mutex> g(mutex_);
    std::string v = volume ? volume : "";
    if (v != kVolumeName && v != std::string(kVolumeName) + "/") return vx::E_NOENT;
    if (!volume_.mounted()) return vx::E_NOENT;
    info.cfg = volume_.config();
    info.usage = volume_.usage();
    info.cwd = volume_.cwd();
    info.openFiles = fds_.inUse();
    return 0;
}

} // namespace host::files

// ---- The platform's entry points --------------------------------------------------------

namespace host {
void filesInit(const VolumeConfig& cfg) { files::fileSystem().init(cfg); }
void filesSetPowerCutAfterWrites(uint64_t n) { files::fileSystem().setPowerCutAfterWrites(n); }
void filesSetWriteErrorAt(uint64_t n) { files::fileSystem().setWriteErrorAt(n); }
void filesSetRenameErrorAt(uint64_t n) { files::fileSystem().setRenameErrorAt(n); }
int filesVolumeFormat() { return files::fileSystem().format(); }
int filesVolumeMount(const char* volume, uint32_t clusters) { return files::fileSystem().mountFormatted(volume, clusters); }
void filesVolumeUnmount() { files::fileSystem().unmount(); }
} // namespace host

namespace vx {
namespace {

thread_local int taskErrno = 0;

int fail(int err)
{
    taskErrno = err;
    return ERROR;
}

host::files::FileSystem& fs() { return host::files::fileSystem(); }

} // namespace

int errnoGet() { return taskErrno; }
void errnoSet(int err) { taskErrno = err; }

const char* strerror(int err)
{
    switch (err) {
    case 0: return "no error";
    case E_NOENT: return "no such file or directory";
    case E_IO: return "input/output error";
    case E_BADF: return "bad file descriptor";
    case E_NOMEM: return "not enough memory";
    case E_ACCES: return "permission denied";
    case E_EXIST: return "file exists";
    case E_NOTDIR: return "not a directory";
    case E_ISDIR: return "is a directory";
    case E_INVAL: return "invalid argument";
    case E_MFILE: return "too many open files";
    case E_NAMETOOLONG: return "file name too long";
    case E_NOSPC: return "no space left on device";
    case E_NOTEMPTY: return "directory not empty";
    default: return "unknown error";
    }
}

int dosFsMount(const char* volume)
{
    int err = fs().mount(volume);
    return err ? fail(err) : OK;
}

int open(const char* name, int flags, int /*mode: DOS has no permissions*/)
{
    int fd = -1;
    int err = fs().open(name, flags, fd);
    return err ? fail(err) : fd;
}

int creat(const char* name, int flags) { return open(name, (flags & 3) | CREAT | TRUNC, 0); }

int32_t read(int fd, void* buf, size_t n)
{
    if (host::files::isConsole(fd)) return host::consoleRead(buf, n);
    int32_t done = 0;
    int err = fs().read(fd, buf, n, done);
    return err ? fail(err) : done;
}

int32_t write(int fd, const void* buf, size_t n)
{
    if (host::files::isConsole(fd)) return host::consoleWrite(buf, n);
    int32_t done = 0;
    int err = fs().write(fd, buf, n, done);
    return err ? fail(err) : done;
}

int close(int fd)
{
    if (host::files::isConsole(fd)) return OK; // the console stays open for the life of the board
    int err = fs().close(fd);
    return err ? fail(err) : OK;
}

int32_t lseek(int fd, int32_t offset, int whence)
{
    if (host::files::isConsole(fd)) return fail(E_INVAL);
    int32_t pos = 0;
    int err = fs().lseek(fd, offset, whence, pos);
    return err ? fail(err) : pos;
}

int ftruncate(int fd, int32_t length)
{
    if (host::files::isConsole(fd)) return fail(E_INVAL);
    int err = fs().ftruncate(fd, length);
    return err ? fail(err) : OK;
}

int remove(const char* name)
{
    int err = fs().remove(name);
    return err ? fail(err) : OK;
}

int rename(const char* oldName, const char* newName)
{
    int err = fs().rename(oldName, newName, false);
    return err ? fail(err) : OK;
}

int renameReplace(const char* oldName, const char* newName)
{
    int err = fs().rename(oldName, newName, true);
    return err ? fail(err) : OK;
}

int stat(const char* name, Stat* st)
{
    if (!st) return fail(E_INVAL);
    int err = fs().stat(name, *st);
    return err ? fail(err) : OK;
}

int fstat(int fd, Stat* st)
{
    if (!st) return fail(E_INVAL);
    if (host::files::isConsole(fd)) {
        *st = Stat{0, 0, 0x2000 | 0666}; // a character device
        return OK;
    }
    int err = fs().fstat(fd, *st);
    return err ? fail(err) : OK;
}

int fstatfs(int fd, StatFs* st)
{
    if (!st) return fail(E_INVAL);
    if (host::files::isConsole(fd)) return fail(E_INVAL);
    int err = fs().fstatfs(fd, *st);
    return err ? fail(err) : OK;
}

int mkdir(const char* name)
{
    int err = fs().mkdir(name);
    return err ? fail(err) : OK;
}

int chdir(const char* path)
{
    int err = fs().chdir(path);
    return err ? fail(err) : OK;
}

char* getcwd(char* buf, int size)
{
    int err = fs().getcwd(buf, size);
    if (err) {
        fail(err);
        return nullptr;
    }
    return buf;
}

DirStream* opendir(const char* path)
{
    DirStream* dir = nullptr;
    int err = fs().opendir(path, dir);
    if (err) {
        fail(err);
        return nullptr;
    }
    return dir;
}

Dirent* readdir(DirStream* dir)
{
    Dirent* ent = nullptr;
    int err = fs().readdir(dir, ent);
    if (err) fail(err);
    return ent;
}

int closedir(DirStream* dir)
{
    int err = fs().closedir(dir);
    return err ? fail(err) : OK;
}

} // namespace vx
