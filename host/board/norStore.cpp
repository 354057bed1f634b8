// norStore.cpp - NOR flash contents, factory image and write-through to DIR/nor.bin.
#include "host/board/norStore.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace host {
namespace {

void putWord32(std::vector<uint8_t>& b, uint32_t offset, uint32_t v)
{
    b[offset] = uint8_t(v >> 24);
    b[offset + 1] = uint8_t(v >> 16);
    b[offset + 2] = uint8_t(v >> 8);
    b[offset + 3] = uint8_t(v);
}

bool writeAll(int fd, const uint8_t* p, size_t len, off_t at)
{
    while (len > 0) {
        ssize_t n = ::pwrite(fd, p, len, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= size_t(n);
        at += n;
    }
    return true;
}

std::string describe(const std::string& path, const char* what)
{
    return path + ": " + what + (errno ? std::string(": ") + std::strerror(errno) : std::string());
}

} // namespace

NorStore::NorStore() { factoryContents(bytes_); }

NorStore::~NorStore()
{
    if (fd_ >= 0) ::close(fd_);
}

void NorStore::factoryContents(std::vector<uint8_t>& b)
{
    b.assign(kSize, 0xFF);
    std::memcpy(&b[kBootRegion], kFactoryBanner, std::strlen(kFactoryBanner) + 1);
    // Reset entry: li r3,0; b . (a boot page that parks the core until a
    // real boot code replaces it), then the reset vector's branch to it.
    putWord32(b, kResetEntry, 0x38600000u);
    putWord32(b, kResetEntry + 4, 0x48000000u);
    putWord32(b, kResetVector, kResetVectorBranch);
}

std::string NorStore::check(const std::string& path)
{
    struct stat st {};
    errno = 0;
    if (::stat(path.c_str(), &st) != 0) return errno == ENOENT ? "" : describe(path, "cannot be read");
    errno = 0;
    if (!S_ISREG(st.st_mode)) return describe(path, "is not a regular file");
    if (uint64_t(st.st_size) != kSize)
        return path + ": " + std::to_string(st.st_size) + " bytes, not the flash's " + std::to_string(kSize);
    return "";
}

std::string NorStore::createFactory(const std::string& path)
{
    if (std::string e = check(path); !e.empty()) return e;
    if (::access(path.c_str(), F_OK) == 0) return "";
    std::vector<uint8_t> b;
    factoryContents(b);
    std::string tmp = path + ".new";
    errno = 0;
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return describe(tmp, "cannot be created");
    ::unlink(markerPath(path).c_str()); // a new flash has no update under way
    bool ok = writeAll(fd, b.data(), b.size(), 0);
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return describe(path, "cannot be written");
    }
    return "";
}

std::string NorStore::open(const std::string& path)
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    path_ = path;
    persist_ = false;
    writeError_.clear();
    pending_ = false;
    factoryContents(bytes_);
    if (path.empty()) return "";
    if (std::string e = check(path); !e.empty()) return e;
    errno = 0;
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        persist_ = true; // made on the first change
        ::unlink(markerPath(path).c_str());
        return "";
    }
    if (fd < 0) return describe(path, "cannot be opened");
    size_t got = 0;
    while (got < kSize) {
        ssize_t n = ::pread(fd, bytes_.data() + got, kSize - got, off_t(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    if (got != kSize) {
        ::close(fd);
        factoryContents(bytes_);
        return describe(path, "cannot be read whole");
    }
    fd_ = fd;
    persist_ = true;
    pending_ = ::access(markerPath(path).c_str(), F_OK) == 0;
    return "";
}

void NorStore::setBootUpdatePending(bool on)
{
    if (on == pending_) return;
    pending_ = on;
    if (!persist_) return;
    const std::string marker = markerPath(path_);
    if (!on) {
        ::unlink(marker.c_str());
        return;
    }
    static const char kText[] = "boot region update unfinished\n";
    errno = 0;
    int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && writeAll(fd, reinterpret_cast<const uint8_t*>(kText), sizeof kText - 1, 0);
    if (fd >= 0) ok = (::close(fd) == 0) && ok;
    if (!ok) {
        writeError_ = describe(marker, "cannot be written");
        std::fprintf(stderr, "tarnboot: %s; the flash keeps its changes in memory only\n", writeError_.c_str());
        persist_ = false;
    }
}

void NorStore::store(uint32_t offset, const uint8_t* p, uint32_t len)
{
    if (offset >= kSize || len > kSize - offset) return;
    std::memcpy(&bytes_[offset], p, len);
    writeThrough(offset, len);
}

void NorStore::fill(uint32_t offset, uint32_t len, uint8_t value)
{
    if (offset >= kSize || len > kSize - offset) return;
    std::memset(&bytes_[offset], value, len);
    writeThrough(offset, len);
}

void NorStore::writeThrough(uint32_t offset, uint32_t len)
{
    if (!persist_) return;
    if (fd_ < 0) {
        // First change of a new board's flash: the whole image at once (made
        // aside and renamed, so the file is never a partial image).
        std::string tmp = path_ + ".new";
        errno = 0;
        int fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0 && writeAll(fd, bytes_.data(), bytes_.size(), 0) && ::rename(tmp.c_str(), path_.c_str()) == 0) {
            fd_ = fd;
            return;
        }
        if (fd >= 0) ::close(fd);
        ::unlink(tmp.c_str());
        writeError_ = describe(path_, "cannot be written");
        std::fprintf(stderr, "tarnboot: %s; the flash keeps its changes in memory only\n", writeError_.c_str());
        persist_ = false;
        return;
    }
    errno = 0;
    if (!writeAll(fd_, &bytes_[offset], len, off_t(offset))) {
        writeError_ = describe(path_, "cannot be written");
        std::fprintf(stderr, "tarnboot: %s; the flash keeps its changes in memory only\n", writeError_.c_str());
        persist_ = false;
    }
}

} // namespace host
