#include "tools/publish/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "tools/publish/unique_fd.h"

namespace publish {

namespace {

std::string KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a pipe (FIFO)";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

}  // namespace

std::string ReadKeyFile(const std::filesystem::path& file, const std::string& what, ExitStatus status) {
    return ReadRegularFile(file, what, status, kMostKeyFileSize);
}

std::string ReadRegularFile(const std::filesystem::path& file, const std::string& what, ExitStatus status,
                            size_t most) {
    const auto fail = [&](const std::string& why) {
        throw PublishError(status, "Cannot read the " + what + " " + file.string() + ": " + why);
    };
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) fail(std::strerror(errno));
    if (!S_ISREG(info.st_mode)) fail("it is " + KindOf(info.st_mode) + ", not a regular file");
    if (static_cast<uint64_t>(info.st_size) > most)
        fail("it is larger than " + std::to_string(most) + " bytes");
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) fail(std::strerror(errno));
    if (::fstat(fd.Get(), &info) != 0) fail(std::strerror(errno));
    if (!S_ISREG(info.st_mode)) fail("it is " + KindOf(info.st_mode) + ", not a regular file");
    std::string bytes;
    char block[4096];
    while (true) {
        const ssize_t got = ::read(fd.Get(), block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) fail(std::strerror(errno));
        if (got == 0) return bytes;
        bytes.append(block, static_cast<size_t>(got));
        if (bytes.size() > most) fail("it is larger than " + std::to_string(most) + " bytes");
    }
}

}  // namespace publish
