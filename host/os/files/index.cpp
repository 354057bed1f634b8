// files/index.cpp - DOS name rules and the per-directory slot index that gives
// the volume's directories their creation order.
#include "host/os/files/files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace host::files {
namespace {

constexpr const char* kIndexHeader = "tarn-dosdir 1";
constexpr size_t kMaxIndexBytes = 4u << 20;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool readWhole(const std::string& path, std::string& out, bool& exists)
{
    out.clear();
    exists = false;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    exists = true;
    char buf[4096];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        out.append(buf, size_t(n));
        if (out.size() > kMaxIndexBytes) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    return ok;
}

bool writeWhole(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

std::string serialise(const std::vector<DirIndex::Slot>& slots)
{
    std::string text = std::string(kIndexHeader) + "\n";
    for (const auto& s : slots) text += s.name + "\n";
    return text;
}

void trimFreeTail(std::vector<DirIndex::Slot>& slots)
{
    while (!slots.empty() && slots.back().name.empty()) slots.pop_back();
}

} // namespace

int checkName(const std::string& name)
{
    if (name.empty() || name == "." || name == "..") return vx::E_INVAL;
    if (name.size() > kMaxName) return vx::E_NAMETOOLONG;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || std::strchr(":*?\"<>|\\", c)) return vx::E_INVAL;
    }
    if (sameName(name, kIndexName) || sameName(name, kIndexTempName)) return vx::E_INVAL;
    return 0;
}

bool sameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

int boardError(int hostErrno)
{
    switch (hostErrno) {
    case ENOENT: return vx::E_NOENT;
    case EBADF: return vx::E_BADF;
    case ENOMEM: return vx::E_NOMEM;
    case EACCES:
    case EPERM:
    case ELOOP: return vx::E_ACCES; // links are refused
    case EEXIST: return vx::E_EXIST;
    case ENOTDIR: return vx::E_NOTDIR;
    case EISDIR: return vx::E_ISDIR;
    case EINVAL: return vx::E_INVAL;
    case EMFILE:
    case ENFILE: return vx::E_MFILE;
    case ENAMETOOLONG: return vx::E_NAMETOOLONG;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return vx::E_NOSPC;
    case ENOTEMPTY: return vx::E_NOTEMPTY;
    default: return vx::E_IO;
    }
}

DirTimeGuard::DirTimeGuard(std::string hostDir) : dir_(std::move(hostDir))
{
    struct ::stat st;
    if (::stat(dir_.c_str(), &st) == 0) {
        times_[0] = st.st_atim;
        times_[1] = st.st_mtim;
        saved_ = true;
    }
}

DirTimeGuard::~DirTimeGuard()
{
    if (saved_) ::utimensat(AT_FDCWD, dir_.c_str(), times_, 0);
}

int DirIndex::scanHost(const std::string& hostDir, std::vector<Slot>& out)
{
    out.clear();
    DIR* d = ::opendir(hostDir.c_str());
    if (!d) return boardError(errno);
    while (struct dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (checkName(name) != 0) continue; // ".", "..", the index, names DOS cannot hold
        unsigned char type = e->d_type;
        if (type == DT_UNKNOWN) {
            struct ::stat st;
            if (::fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_UNKNOWN;
        }
        if (type == DT_REG || type == DT_DIR) out.push_back(Slot{name, type == DT_DIR});
    }
    ::closedir(d);
    std::sort(out.begin(), out.end(), [](const Slot& a, const Slot& b) { return a.name < b.name; });
    return 0;
}

int DirIndex::load()
{
    slots_.clear();
    std::vector<Slot> present;
    if (int err = scanHost(dir_, present)) return err;

    std::string text;
    bool exists = false;
    std::vector<std::string> recorded;
    if (readWhole(dir_ + "/" + kIndexName, text, exists) && text.rfind(std::string(kIndexHeader) + "\n", 0) == 0) {
        size_t pos = std::strlen(kIndexHeader) + 1;
        while (pos < text.size()) {
            size_t nl = text.find('\n', pos);
            if (nl == std::string::npos) break; // a torn last line is not trusted
            recorded.push_back(text.substr(pos, nl - pos));
            pos = nl + 1;
        }
    }

    // Recorded entries that are still there keep their slots; the rest is freed.
    std::set<std::string> placed;
    for (const auto& name : recorded) {
        auto it = std::lower_bound(present.begin(), present.end(), name,
                                   [](const Slot& s, const std::string& n) { return s.name < n; });
        if (!name.empty() && it != present.end() && it->name == name && placed.insert(name).second)
            slots_.push_back(*it);
        else
            slots_.push_back(Slot{});
    }
    // Entries put into the host directory by hand go to the end, in name order.
    for (const auto& s : present)
        if (!placed.count(s.name)) slots_.push_back(s);
    trimFreeTail(slots_);

    bool changed = exists ? serialise(slots_) != text : !slots_.empty();
    if (changed) save(); // the order still holds for this call if the host refuses
    return 0;
}

int DirIndex::find(const std::string& name) const
{
    for (size_t i = 0; i < slots_.size(); ++i)
        if (!slots_[i].name.empty() && slots_[i].name == name) return int(i);
    for (size_t i = 0; i < slots_.size(); ++i)
        if (!slots_[i].name.empty() && sameName(slots_[i].name, name)) return int(i);
    return -1;
}

int DirIndex::add(const std::string& name, bool isDir)
{
    for (size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].name.empty()) {
            slots_[i] = Slot{name, isDir};
            return int(i);
        }
    }
    slots_.push_back(Slot{name, isDir});
    return int(slots_.size() - 1);
}

void DirIndex::release(int slot)
{
    if (slot >= 0 && size_t(slot) < slots_.size()) slots_[size_t(slot)] = Slot{};
}

void DirIndex::rename(int slot, const std::string& name)
{
    if (slot >= 0 && size_t(slot) < slots_.size()) slots_[size_t(slot)].name = name;
}

int DirIndex::save()
{
    trimFreeTail(slots_);
    DirTimeGuard keepTime(dir_);
    std::string temp = dir_ + "/" + kIndexTempName;
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return boardError(errno);
    bool ok = writeWhole(fd, serialise(slots_));
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), (dir_ + "/" + kIndexName).c_str()) != 0) {
        int err = ok ? boardError(errno) : vx::E_IO;
        ::unlink(temp.c_str());
        return err;
    }
    return 0;
}

} // namespace host::files
