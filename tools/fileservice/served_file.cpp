#include "tools/fileservice/served_file.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fileservice {

namespace {

// O_NONBLOCK changes nothing for reads of a regular file; it only keeps the open itself from
// waiting on a FIFO's writer or a device.
constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;

int OpenWithoutLinks(const char* path) {
    // No link anywhere on the way, not only at the end: a folder swapped for a link after the name
    // was resolved cannot lead the open out of the served tree.
    open_how how{};
    how.flags = kFlags;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != E2BIG)) return static_cast<int>(fd);
    // Kernels before 5.6, or a sandbox that filters the call: the last component at least.
    return ::open(path, kFlags);
}

OpenedFile Checked(int fd) {
    OpenedFile file;
    if (fd < 0) {
        file.error = errno;
        return file;
    }
    if (::fstat(fd, &file.info) != 0) {
        file.error = errno;
        ::close(fd);
        return file;
    }
    if (!S_ISREG(file.info.st_mode)) {
        ::close(fd);
        return file;
    }
    file.fd = fd;
    return file;
}

}  // namespace

std::string OpenedFile::Why() const {
    if (fd >= 0) return {};
    if (error == 0) return "not a regular file";
    if (error == ELOOP) return "reached through a link";
    return std::strerror(error);
}

OpenedFile OpenServedFile(const char* path) { return Checked(OpenWithoutLinks(path)); }

OpenedFile OpenServedFileBeneath(const char* root, const char* relative) {
    const int folder = ::open(root, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return Checked(-1);
    open_how how{};
    how.flags = kFlags & ~O_NOFOLLOW;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, folder, relative, &how, sizeof how);
    const int error = errno;
    ::close(folder);
    errno = error;
    return Checked(static_cast<int>(fd));
}

}  // namespace fileservice
