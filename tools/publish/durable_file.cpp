#include "tools/publish/durable_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

namespace {

void WriteAll(int fd, std::string_view bytes, const fs::path& shownAs) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) FailErrno("write", shownAs);
        bytes.remove_prefix(static_cast<size_t>(written));
    }
}

}  // namespace

void WriteAllAndSync(int fd, std::string_view bytes, const fs::path& shownAs) {
    WriteAll(fd, bytes, shownAs);
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
    const fs::path lockFile = folder / kLockFileName;
    UniqueFd fd(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) FailErrno("open the lock file", lockFile);
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            throw PublishError(ExitStatus::Failed, "Another signing or publishing of " + folder.string() +
                                                       " is running (it holds " + lockFile.string() + ")");
        FailErrno("lock", lockFile);
    }
    return fd;
}

void SyncFolder(const fs::path& folder) {
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || ::fsync(fd.Get()) != 0) FailErrno("flush the folder", folder);
}

UniqueFd StagedFile::Create(const fs::path& folder) {
    std::string pattern = (folder / "~aur-publish-XXXXXX.tmp").string();
    UniqueFd fd(::mkstemps(pattern.data(), 4));
    if (!fd) FailErrno("create a temporary file in", folder);
    path_ = pattern;
    return fd;
}

StagedFile::StagedFile(StagedFile&& other) noexcept
    : path_(std::exchange(other.path_, {})), placed_(std::exchange(other.placed_, true)) {}

StagedFile::StagedFile(const fs::path& folder, const fs::path& source, const TSha256& expected,
                       std::optional<int64_t> ageUnix, mode_t mode) {
    // O_NONBLOCK: a source swapped for a pipe must not block the open.
    const UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!in) FailErrno("read", source);
    struct stat info {};
    if (::fstat(in.Get(), &info) != 0) FailErrno("read", source);
    if (!S_ISREG(info.st_mode))
        throw PublishError(ExitStatus::Failed, "Cannot read " + source.string() + ": not a regular file");
    const UniqueFd out = Create(folder);
    try {
        if (::fchmod(out.Get(), mode) != 0) FailErrno("set the permissions of", path_);
        const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
            throw PublishError(ExitStatus::Failed, "Cannot start SHA-256");
        std::vector<char> block(1 << 16);
        while (true) {
            const ssize_t got = ::read(in.Get(), block.data(), block.size());
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) FailErrno("read", source);
            if (got == 0) break;
            EVP_DigestUpdate(context.get(), block.data(), static_cast<size_t>(got));
            WriteAll(out.Get(), std::string_view(block.data(), static_cast<size_t>(got)), path_);
        }
        TSha256 copied{};
        unsigned length = 0;
        if (EVP_DigestFinal_ex(context.get(), copied.data(), &length) != 1 || length != copied.size())
            throw PublishError(ExitStatus::Failed, "Cannot finish SHA-256");
        if (copied != expected)
            throw PublishError(ExitStatus::Failed,
                               source.string() +
                                   " does not hold the content it was listed with (it changed "
                                   "while it was read, or was altered)");
        if (ageUnix) {
            const struct timespec times[2] = {{static_cast<time_t>(*ageUnix), 0},
                                              {static_cast<time_t>(*ageUnix), 0}};
            if (::futimens(out.Get(), times) != 0) FailErrno("set the age of", path_);
        }
        if (::fsync(out.Get()) != 0) FailErrno("flush", path_);
    } catch (...) {
        ::unlink(path_.c_str());  // the destructor does not run for a constructor that throws
        throw;
    }
}

StagedFile::StagedFile(const fs::path& folder, std::string_view bytes, mode_t mode) {
    const UniqueFd fd = Create(folder);
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

void StagedFile::LinkInto(const fs::path& target) {
    if (::link(path_.c_str(), target.c_str()) != 0) {
        if (errno == EEXIST)
            throw PublishError(ExitStatus::Failed,
                               target.string() + " already exists; it is not overwritten");
        FailErrno("put the new file in place as", target);
    }
    ::unlink(path_.c_str());
    placed_ = true;
}

}  // namespace publish
