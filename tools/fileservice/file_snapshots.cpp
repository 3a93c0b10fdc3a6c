#include "tools/fileservice/file_snapshots.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <unistd.h>

namespace fileservice {

namespace {

FileVersion VersionOf(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_size), info.st_mtim, info.st_ctim,
            static_cast<std::uint64_t>(info.st_nlink)};
}

}  // namespace

FileSnapshot::~FileSnapshot() {
    if (mapped) ::munmap(const_cast<char*>(mapped), size);
    if (fd >= 0) ::close(fd);
}

std::shared_ptr<FileSnapshot> FileSnapshots::Copy(int fd, const struct stat& info) const {
    auto snapshot = std::make_shared<FileSnapshot>();
    snapshot->size = static_cast<std::uint64_t>(info.st_size);
    snapshot->version = VersionOf(info);
    snapshot->fd = ::memfd_create("aurevia-snapshot", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (snapshot->fd < 0) return nullptr;
    // Room first, so that a full tmpfs or memory limit fails here rather than as a short copy.
    if (snapshot->size && ::posix_fallocate(snapshot->fd, 0, static_cast<off_t>(snapshot->size)) != 0)
        return nullptr;
    off_t from = 0;
    while (static_cast<std::uint64_t>(from) < snapshot->size) {
        const ssize_t sent = ::sendfile(
            snapshot->fd, fd, &from, static_cast<size_t>(snapshot->size - static_cast<std::uint64_t>(from)));
        if (sent <= 0) return nullptr;  // shrank, or an error
    }
    // A writer updates the file's times before it changes its bytes: the same times after the copy
    // mean that no write had begun before the copy ended.
    struct stat after {};
    if (::fstat(fd, &after) != 0 || !snapshot->version.Matches(after) ||
        after.st_ctim.tv_sec != info.st_ctim.tv_sec || after.st_ctim.tv_nsec != info.st_ctim.tv_nsec)
        return nullptr;
    if (::fcntl(snapshot->fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
        return nullptr;
    if (snapshot->size) {
        void* mapped = ::mmap(nullptr, snapshot->size, PROT_READ, MAP_SHARED, snapshot->fd, 0);
        if (mapped == MAP_FAILED) return nullptr;
        snapshot->mapped = static_cast<const char*>(mapped);
    }
    return snapshot;
}

std::shared_ptr<const FileSnapshot> FileSnapshots::Get(int fd, const struct stat& info) {
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size == 0 || size > options_.maxFileBytes || size > options_.maxBytes) return nullptr;
    const std::pair<dev_t, ino_t> key{info.st_dev, info.st_ino};
    {
        std::lock_guard lock(mutex_);
        const auto found = entries_.find(key);
        if (found != entries_.end()) {
            Entry& entry = found->second;
            if (!entry.snapshot) return nullptr;  // being copied by another request
            uses_.splice(uses_.begin(), uses_, entry.use);
            // Unchanged since the copy: not only the same size and times, but no rename over it or
            // deletion either (a new link count means a new change time), so the same bytes.
            const FileVersion& kept = entry.snapshot->version;
            if (kept.Matches(info) && kept.changed.tv_sec == info.st_ctim.tv_sec &&
                kept.changed.tv_nsec == info.st_ctim.tv_nsec)
                return entry.snapshot;
            bytes_ -= entry.snapshot->size;
            entry.snapshot.reset();
        } else {
            uses_.push_front(key);
            entries_.emplace(key, Entry{nullptr, uses_.begin()});
        }
    }
    // Copied outside the lock: other files' downloads go on meanwhile. A change of the change time
    // alone during the copy (a rename in under the name sets it a moment after the name appears)
    // is taken as the version for a second copy; the answer's validators do not depend on it.
    std::shared_ptr<const FileSnapshot> copy = Copy(fd, info);
    struct stat now {};
    if (!copy && ::fstat(fd, &now) == 0 && now.st_size == info.st_size &&
        now.st_mtim.tv_sec == info.st_mtim.tv_sec && now.st_mtim.tv_nsec == info.st_mtim.tv_nsec)
        copy = Copy(fd, now);
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(key);
    if (found == entries_.end()) return copy;  // dropped meanwhile: this download still uses it
    if (!copy) {
        uses_.erase(found->second.use);
        entries_.erase(found);
        return nullptr;
    }
    found->second.snapshot = copy;
    bytes_ += copy->size;
    ++copies_;
    Trim();
    return copy;
}

void FileSnapshots::Trim() {
    while ((bytes_ > options_.maxBytes || entries_.size() > options_.maxFiles) && !uses_.empty()) {
        const auto found = entries_.find(uses_.back());
        uses_.pop_back();
        if (found == entries_.end()) continue;
        if (found->second.snapshot) bytes_ -= found->second.snapshot->size;
        entries_.erase(found);
    }
}

}  // namespace fileservice
