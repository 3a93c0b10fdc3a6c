#include "tools/publish/durable_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/publish/publish_error.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

[[noreturn]] void FailErrno(const std::string& what, const fs::path& path) {
    throw PublishError(ExitStatus::Failed,
                       "Cannot " + what + " " + path.string() + ": " + std::strerror(errno));
}

}  // namespace

UniqueFd CreateNewFile(const fs::path& file, mode_t mode) {
    UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd && errno == EEXIST)
        throw PublishError(ExitStatus::Failed, file.string() + " already exists; it is not overwritten");
    if (!fd) FailErrno("create", file);
    return fd;
}

void WriteAllAndSync(int fd, std::string_view bytes, const fs::path& shownAs) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) FailErrno("write", shownAs);
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    if (::fsync(fd) != 0) FailErrno("flush", shownAs);
}

std::optional<std::string> ReadWholeFile(const fs::path& file) {
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string bytes;
    char block[4096];
    while (true) {
        const ssize_t got = ::read(fd.Get(), block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;  // a folder, too (EISDIR)
        if (got == 0) return bytes;
        bytes.append(block, static_cast<size_t>(got));
    }
}

UniqueFd LockFolder(const fs::path& folder) {
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) FailErrno("open the folder", folder);
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            throw PublishError(ExitStatus::Failed, "Another signing of " + folder.string() + " is running");
        FailErrno("lock the folder", folder);
    }
    return fd;
}

void SyncFolder(const fs::path& folder) {
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || ::fsync(fd.Get()) != 0) FailErrno("flush the folder", folder);
}

StagedFile::StagedFile(const fs::path& folder, std::string_view bytes, mode_t mode) {
    std::string pattern = (folder / "~aur-publish-XXXXXX.tmp").string();
    UniqueFd fd(::mkstemps(pattern.data(), 4));
    if (!fd) FailErrno("create a temporary file in", folder);
    path_ = pattern;
    try {
        // mkstemps makes the file readable by its owner only; a manifest is read by the file service.
        if (::fchmod(fd.Get(), mode) != 0) FailErrno("set the permissions of", path_);
        WriteAllAndSync(fd.Get(), bytes, path_);
    } catch (...) {
        ::unlink(path_.c_str());  // the destructor does not run for a constructor that throws
        throw;
    }
}

StagedFile::~StagedFile() {
    if (!placed_ && !path_.empty()) ::unlink(path_.c_str());
}

void StagedFile::ReplaceInto(const fs::path& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) FailErrno("put the new file in place of", target);
    placed_ = true;
}

}  // namespace publish
