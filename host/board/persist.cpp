// persist.cpp - device contents kept in files of the board directory.
#include "host/board/persist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace host {

bool persistLoad(const std::string& path, uint8_t* buf, size_t len)
{
    if (path.empty()) return false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && size_t(st.st_size) == len && ::pread(fd, buf, len, 0) == ssize_t(len);
    ::close(fd);
    return ok;
}

bool persistStore(const std::string& path, size_t offset, const uint8_t* data, size_t len)
{
    if (path.empty()) return true;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::pwrite(fd, data, len, off_t(offset)) == ssize_t(len);
    ::close(fd);
    return ok;
}

} // namespace host
