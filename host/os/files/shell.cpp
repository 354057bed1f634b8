// files/shell.cpp - the shell-style file services on the console: change and
// print the current directory, the long recursive listing and the volume display.
#include "host/os/files/files.h"

#include <algorithm>
#include <string>

namespace host::files {
namespace {

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// One listing line: type and permissions, size, date and time, name.
void printEntry(const ListedEntry& e)
{
    bool dir = (e.st.mode & vx::MODE_IFMT) == vx::MODE_IFDIR;
    char mode[11];
    mode[0] = dir ? 'd' : '-';
    for (int i = 0; i < 9; ++i) mode[1 + i] = (e.st.mode >> (8 - i)) & 1 ? "rwxrwxrwx"[i] : '-';
    mode[10] = '\0';
    vx::Time t = e.st.mtime;
    std::tm tm{};
    vx::localtime_r(&t, &tm);
    vx::printf("%s %10u %s %2d %04d %02d:%02d:%02d %s%s\n", mode, unsigned(e.st.size),
               kMonths[tm.tm_mon % 12], tm.tm_mday, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec,
               e.name.c_str(), dir ? "/" : "");
}

// Lists one directory, then each of its subdirectories in the same way.
int listTree(const std::string& path)
{
    std::string boardDir;
    std::vector<ListedEntry> entries;
    if (int err = fileSystem().list(path.c_str(), boardDir, entries)) {
        vx::printf("llr: cannot list \"%s\": %s\n", path.c_str(), vx::strerror(err));
        vx::errnoSet(err);
        return vx::ERROR;
    }
    vx::printf("\nListing Directory %s:\n", boardDir.c_str());
    for (const auto& e : entries) printEntry(e);
    int rc = vx::OK;
    std::string prefix = boardDir.back() == '/' ? boardDir : boardDir + "/";
    for (const auto& e : entries) {
        if (e.name == "." || e.name == ".." || (e.st.mode & vx::MODE_IFMT) != vx::MODE_IFDIR) continue;
        if (listTree(prefix + e.name) != vx::OK) rc = vx::ERROR;
    }
    return rc;
}

} // namespace
} // namespace host::files

namespace vx {

int cd(const char* path)
{
    if (chdir(path) != OK) {
        printf("cd: error = %#x.\n", errnoGet());
        return ERROR;
    }
    return OK;
}

void pwd()
{
    char buf[host::files::kMaxPath + 2];
    if (getcwd(buf, int(sizeof buf))) printf("%s\n", buf);
}

int llr(const char* path)
{
    std::string start = path && *path ? path : ".";
    if (start == ".") { // the current directory, also when it is on no volume
        char buf[host::files::kMaxPath + 2];
        if (!getcwd(buf, int(sizeof buf))) return ERROR;
        start = buf;
    }
    return host::files::listTree(start);
}

int dosFsShow(const char* volume, int level)
{
    host::files::FileSystem::VolumeInfo info;
    if (int err = host::files::fileSystem().volumeInfo(volume, info)) {
        printf("dosFsShow: \"%s\" is not a mounted volume.\n", volume ? volume : "(null)");
        errnoSet(err);
        return ERROR;
    }
    const uint64_t total = info.cfg.clusters;
    const uint64_t used = std::min<uint64_t>(info.usage.clusters, total);
    const uint64_t bytes = info.cfg.clusterBytes;
    auto line = [](const char* label, uint64_t value) {
        printf("  %-22s %s\n", label, std::to_string(value).c_str());
    };

    printf("\nvolume \"%s/\": DOS file system on the flash disk\n", host::files::kVolumeName);
    line("bytes per cluster:", bytes);
    line("total clusters:", total);
    line("free clusters:", total - used);
    line("total bytes:", total * bytes);
    line("free bytes:", (total - used) * bytes);
    if (level >= 2) {
        printf("  -- usage --\n");
        line("clusters in use:", used);
        line("files:", info.usage.files);
        line("subdirectories:", info.usage.dirs);
        line("bytes in files:", info.usage.fileBytes);
        line("open files:", uint64_t(info.openFiles));
        printf("  %-22s %d\n", "max open files:", host::files::DescriptorTable::kSize);
        printf("  %-22s %s\n", "current directory:", info.cwd.c_str());
    }
    return OK;
}

} // namespace vx
