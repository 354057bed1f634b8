// files/volume.cpp - the volume "/DskVol/": board paths resolved inside the
// host directory, entries created, removed and renamed with their directory
// slots kept in step, and the cluster count of what the volume holds.
#include "host/os/files/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace host::files {
namespace {

constexpr size_t kMaxInputPath = 4096; // longer input is refused before parsing
constexpr int kMaxDepth = 200;         // the path length limit keeps real trees shallower

std::vector<std::string> parentOf(const std::vector<std::string>& parts)
{
    return std::vector<std::string>(parts.begin(), parts.end() - (parts.empty() ? 0 : 1));
}

// Rename that never replaces what the host directory holds under the new name.
int renameNoReplace(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return boardError(errno);
    struct ::stat st; // host file system without the flag
    if (::lstat(to.c_str(), &st) == 0) return vx::E_EXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : boardError(errno);
}

int hostAccess(int access)
{
    return access == vx::WRONLY ? O_WRONLY : access == vx::RDWR ? O_RDWR : O_RDONLY;
}

} // namespace

void toBoardStat(const struct ::stat& hs, vx::Stat& st)
{
    st = vx::Stat{};
    bool dir = S_ISDIR(hs.st_mode);
    st.size = dir ? 0 : uint32_t(std::min<uint64_t>(uint64_t(hs.st_size), UINT32_MAX));
    st.mtime = hs.st_mtim.tv_sec < 0 ? 0 : uint32_t(std::min<int64_t>(hs.st_mtim.tv_sec, UINT32_MAX));
    st.mode = dir ? (vx::MODE_IFDIR | 0755) : (vx::MODE_IFREG | 0644);
}

namespace {
void nowTimes(struct timespec (&ts)[2])
{
    ts[0].tv_sec = ts[1].tv_sec = time_t(vx::time(nullptr));
    ts[0].tv_nsec = ts[1].tv_nsec = 0;
}
} // namespace

void stampNow(int hostFd)
{
    struct timespec ts[2];
    nowTimes(ts);
    ::futimens(hostFd, ts);
}

void stampPathNow(const std::string& hostPath)
{
    struct timespec ts[2];
    nowTimes(ts);
    ::utimensat(AT_FDCWD, hostPath.c_str(), ts, AT_SYMLINK_NOFOLLOW);
}

void Volume::configure(const VolumeConfig& cfg)
{
    cfg_ = cfg;
    mounted_ = false;
    cwdOnVolume_ = false;
    cwdParts_.clear();
}

int Volume::mount(const char* volume)
{
    if (!volume) return vx::E_INVAL;
    std::string v = volume;
    if (v != kVolumeName && v != std::string(kVolumeName) + "/") return vx::E_NOENT;
    if (cfg_.root.empty() || cfg_.clusterBytes == 0 || cfg_.clusters == 0) return vx::E_IO;
    std::error_code ec;
    bool created = std::filesystem::create_directories(cfg_.root, ec);
    if (!std::filesystem::is_directory(cfg_.root, ec)) return vx::E_IO;
    if (created) stampPathNow(cfg_.root); // a new volume carries the calendar time of its making
    mounted_ = true;
    return 0;
}

int Volume::erase()
{
    if (mounted_ || cfg_.root.empty()) return vx::E_IO;
    std::error_code ec;
    std::filesystem::create_directories(cfg_.root, ec);
    for (std::filesystem::directory_iterator it(cfg_.root, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code rm;
        std::filesystem::remove_all(it->path(), rm); // a link goes, never what it points to
        if (rm) return boardError(rm.value());
    }
    if (ec) return boardError(ec.value());
    stampPathNow(cfg_.root); // the new file system's root carries the time of the format
    return 0;
}

std::string Volume::hostPath(const std::vector<std::string>& parts) const
{
    std::string p = cfg_.root;
    for (const auto& part : parts) p += "/" + part;
    return p;
}

std::string Volume::boardPath(const std::vector<std::string>& parts)
{
    if (parts.empty()) return std::string(kVolumeName) + "/";
    std::string p = kVolumeName;
    for (const auto& part : parts) p += "/" + part;
    return p;
}

int Volume::lookup(const std::vector<std::string>& dirParts, const std::string& name,
                   std::string& actual, bool& isDir) const
{
    DirIndex index(hostPath(dirParts));
    if (int err = index.load()) return err;
    actual.clear();
    int slot = index.find(name);
    if (slot >= 0) {
        actual = index.slots()[size_t(slot)].name;
        isDir = index.slots()[size_t(slot)].isDir;
    }
    return 0;
}

int Volume::resolve(const char* path, Resolved& out) const
{
    out = Resolved{};
    if (!mounted_ || !path || !*path) return vx::E_NOENT;
    size_t len = strnlen(path, kMaxInputPath + 1);
    if (len > kMaxInputPath) return vx::E_NAMETOOLONG;
    std::string p(path, len);

    // Absolute paths name the volume; relative ones start at the current directory.
    std::vector<std::string> parts;
    size_t pos = 0;
    if (p[0] == '/') {
        size_t vl = std::strlen(kVolumeName);
        if (p.compare(0, vl, kVolumeName) != 0 || (p.size() > vl && p[vl] != '/')) return vx::E_NOENT;
        pos = vl;
    } else {
        if (!cwdOnVolume_) return vx::E_NOENT;
        parts = cwdParts_;
    }
    out.trailingSlash = p.back() == '/';
    while (pos < p.size()) {
        size_t slash = p.find('/', pos);
        if (slash == std::string::npos) slash = p.size();
        std::string comp = p.substr(pos, slash - pos);
        pos = slash + 1;
        if (comp.empty() || comp == ".") continue;
        if (comp == "..") {
            if (parts.empty()) return vx::E_NOENT; // nothing above the volume root
            parts.pop_back();
            continue;
        }
        if (int err = checkName(comp)) return err;
        parts.push_back(comp);
    }
    if (boardPath(parts).size() > kMaxPath) return vx::E_NAMETOOLONG;

    // Walk down, replacing each name by the spelling the directory holds.
    out.exists = true;
    out.isDir = true;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string actual;
        bool isDir = false;
        if (int err = lookup(out.parts, parts[i], actual, isDir)) return err;
        bool last = i + 1 == parts.size();
        if (actual.empty()) {
            if (!last) return vx::E_NOENT;
            out.parts.push_back(parts[i]);
            out.exists = false;
            out.isDir = false;
            break;
        }
        if (!last && !isDir) return vx::E_NOTDIR;
        out.parts.push_back(actual);
        out.isDir = isDir;
    }
    out.asked = parts.empty() ? std::string() : parts.back();
    if (out.trailingSlash && out.exists && !out.isDir) return vx::E_NOTDIR;
    return 0;
}

int Volume::open(const char* path, int flags, int& hostFd, bool& isDir)
{
    int access = flags & 3;
    if (access == 3) return vx::E_INVAL;
    Resolved r;
    if (int err = resolve(path, r)) return err;
    bool writable = access != vx::RDONLY;
    if (r.exists) {
        isDir = r.isDir;
        if (r.isDir) {
            if (writable) return vx::E_ISDIR;
            hostFd = ::open(hostPath(r.parts).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            return hostFd < 0 ? boardError(errno) : 0;
        }
        hostFd = ::open(hostPath(r.parts).c_str(), hostAccess(access) | O_NOFOLLOW | O_CLOEXEC);
        if (hostFd < 0) return boardError(errno);
        if ((flags & vx::TRUNC) && writable) {
            if (::ftruncate(hostFd, 0) != 0) {
                int err = boardError(errno);
                ::close(hostFd);
                return err;
            }
            stampNow(hostFd);
        }
        return 0;
    }
    if (!(flags & vx::CREAT)) return vx::E_NOENT;
    if (r.trailingSlash) return vx::E_ISDIR;
    isDir = false;
    return createFile(r, access, hostFd);
}

int Volume::createFile(const Resolved& r, int access, int& hostFd)
{
    std::string dir = hostPath(parentOf(r.parts));
    const std::string& name = r.parts.back();
    DirTimeGuard keepTime(dir);
    DirIndex index(dir);
    if (int err = index.load()) return err;
    if (index.find(name) >= 0) return vx::E_EXIST;
    int slot = index.add(name, false);
    if (int err = index.save()) return err;
    hostFd = ::open((dir + "/" + name).c_str(), hostAccess(access) | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0644);
    if (hostFd < 0) {
        // EEXIST: something the board cannot see (a link) holds the name.
        int err = errno == EEXIST ? vx::E_ACCES : boardError(errno);
        index.release(slot);
        index.save();
        return err;
    }
    stampNow(hostFd);
    return 0;
}

int Volume::mkdir(const char* path)
{
    Resolved r;
    if (int err = resolve(path, r)) return err;
    if (r.exists) return vx::E_EXIST;
    if (freeClusters() < 1) return vx::E_NOSPC;
    std::string dir = hostPath(parentOf(r.parts));
    std::string target = hostPath(r.parts);
    DirTimeGuard keepTime(dir);
    DirIndex index(dir);
    if (int err = index.load()) return err;
    int slot = index.add(r.parts.back(), true);
    if (int err = index.save()) return err;
    if (::mkdir(target.c_str(), 0755) != 0) {
        int err = errno == EEXIST ? vx::E_ACCES : boardError(errno);
        index.release(slot);
        index.save();
        return err;
    }
    stampPathNow(target);
    return 0;
}

int Volume::remove(const char* path)
{
    Resolved r;
    if (int err = resolve(path, r)) return err;
    if (!r.exists) return vx::E_NOENT;
    if (r.isDir) return vx::E_ISDIR;
    std::string dir = hostPath(parentOf(r.parts));
    DirTimeGuard keepTime(dir);
    if (::unlink(hostPath(r.parts).c_str()) != 0) return boardError(errno);
    DirIndex index(dir);
    index.load(); // frees the slot of the vanished entry
    return 0;
}

int Volume::rename(const char* oldPath, const char* newPath, bool replace)
{
    Resolved from, to;
    if (int err = resolve(oldPath, from)) return err;
    if (!from.exists) return vx::E_NOENT;
    if (from.parts.empty()) return vx::E_INVAL; // the volume root
    if (int err = resolve(newPath, to)) return err;
    if (to.parts.empty()) return replace ? vx::E_ISDIR : vx::E_EXIST;
    if (from.isDir && to.parts.size() > from.parts.size() &&
        std::equal(from.parts.begin(), from.parts.end(), to.parts.begin()))
        return vx::E_INVAL; // a directory cannot move into itself

    bool sameEntry = to.exists && to.parts == from.parts;
    const std::string newName = to.asked; // the spelling asked for, also for a change of case
    if (sameEntry && newName == from.parts.back()) return 0;
    if (to.exists && !sameEntry) {
        if (!replace) return vx::E_EXIST;
        if (to.isDir) return vx::E_ISDIR;
        if (from.isDir) return vx::E_NOTDIR;
        // Two steps, as on the board: the old entry goes first.
        if (int err = remove(newPath)) return err;
    }

    auto fromDir = parentOf(from.parts), toDir = parentOf(to.parts);
    std::string fromHost = hostPath(from.parts);
    std::string toHost = hostPath(toDir) + "/" + newName;
    DirTimeGuard keepFrom(hostPath(fromDir)), keepTo(hostPath(toDir));
    DirIndex target(hostPath(toDir));
    if (int err = target.load()) return err;
    if (int err = renameNoReplace(fromHost, toHost)) return err;
    if (fromDir == toDir) {
        // The entry keeps its slot under the new name.
        int slot = target.find(from.parts.back());
        if (slot >= 0) target.rename(slot, newName);
        target.save();
    } else {
        target.add(newName, from.isDir);
        target.save();
        DirIndex source(hostPath(fromDir));
        source.load(); // frees the old slot
    }
    return 0;
}

int Volume::stat(const char* path, vx::Stat& st) const
{
    Resolved r;
    if (int err = resolve(path, r)) return err;
    if (!r.exists) return vx::E_NOENT;
    struct ::stat hs;
    if (::lstat(hostPath(r.parts).c_str(), &hs) != 0) return boardError(errno);
    toBoardStat(hs, st);
    return 0;
}

int Volume::chdir(const char* path)
{
    Resolved r;
    if (int err = resolve(path, r)) return err;
    if (!r.exists) return vx::E_NOENT;
    if (!r.isDir) return vx::E_NOTDIR;
    cwdParts_ = r.parts;
    cwdOnVolume_ = true;
    return 0;
}

std::string Volume::cwd() const { return cwdOnVolume_ ? boardPath(cwdParts_) : std::string("/"); }

int Volume::list(const char* path, std::string& boardDir, std::vector<ListedEntry>& out) const
{
    out.clear();
    Resolved r;
    if (int err = resolve(path, r)) return err;
    if (!r.exists) return vx::E_NOENT;
    if (!r.isDir) return vx::E_NOTDIR;
    boardDir = boardPath(r.parts);
    std::string dir = hostPath(r.parts);
    DirIndex index(dir);
    if (int err = index.load()) return err;
    auto add = [&out](const std::string& name, const std::string& host) {
        struct ::stat hs;
        if (::lstat(host.c_str(), &hs) != 0) return;
        out.push_back(ListedEntry{name, {}});
        toBoardStat(hs, out.back().st);
    };
    if (!r.parts.empty()) { // a subdirectory starts with itself and its parent
        add(".", dir);
        add("..", hostPath(parentOf(r.parts)));
    }
    for (const auto& slot : index.slots())
        if (!slot.name.empty()) add(slot.name, dir + "/" + slot.name);
    return 0;
}

uint64_t Volume::clustersFor(uint64_t bytes) const
{
    uint64_t cb = cfg_.clusterBytes ? cfg_.clusterBytes : 1;
    return (bytes + cb - 1) / cb;
}

void Volume::usageOf(const std::string& hostDir, Usage& u, int depth) const
{
    std::vector<DirIndex::Slot> entries;
    if (depth > kMaxDepth || DirIndex::scanHost(hostDir, entries) != 0) return;
    for (const auto& e : entries) {
        std::string p = hostDir + "/" + e.name;
        if (e.isDir) {
            u.dirs++;
            u.clusters++;
            usageOf(p, u, depth + 1);
            continue;
        }
        struct ::stat hs;
        if (::lstat(p.c_str(), &hs) != 0) continue;
        u.files++;
        u.fileBytes += uint64_t(hs.st_size);
        u.clusters += clustersFor(uint64_t(hs.st_size));
    }
}

Usage Volume::usage() const
{
    Usage u;
    if (mounted_) usageOf(cfg_.root, u, 0);
    return u;
}

uint64_t Volume::freeClusters() const
{
    uint64_t used = usage().clusters;
    return used >= cfg_.clusters ? 0 : cfg_.clusters - used;
}

} // namespace host::files
