#pragma once
// Files that are either absent or whole on disk, also after a crash or power loss: new files
// created exclusively, and replacements staged under a temporary name in the same folder, flushed,
// and renamed over the old file (a rename within one file system is atomic).
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "tools/publish/unique_fd.h"
#include "update/trust/release_manifest.h"

namespace publish {

// Creates a file that must not exist yet, with its permissions from the start (no window in
// which it has other ones). Raises PublishError(Failed), naming the file when it already exists.
UniqueFd CreateNewFile(const std::filesystem::path& file, mode_t mode);

// Writes all bytes and flushes them to the disk.
void WriteAllAndSync(int fd, std::string_view bytes, const std::filesystem::path& shownAs);

// The whole content of a file; nullopt when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& file);

// Holds an exclusive lock on a server folder for as long as the owner lives, so that two commands
// on one folder (signing, publishing, rollout, pruning) cannot interleave their renames (and leave
// one's signature beside the other's manifest). The lock is a flock on kLockFileName in the folder
// (a file, not the folder itself, so that it also holds on network file systems that lock only
// files opened for writing); its name is a temporary's, which walks and the file service skip.
// Raises PublishError(Failed) when another process holds it.
inline constexpr char kLockFileName[] = "~aur-publish-lock.tmp";
UniqueFd LockFolder(const std::filesystem::path& folder);

// Flushes a folder's entries (the renames and creations in it) to the disk.
void SyncFolder(const std::filesystem::path& folder);

// The new content of a file, written in full under a "~aur*.tmp" name in the target's folder (the
// name that folder walks skip) until it is renamed into place; removed if never renamed.
class StagedFile {
  public:
    StagedFile(const std::filesystem::path& folder, std::string_view bytes, mode_t mode);
    // A copy of a file, streamed; raises PublishError(Failed) unless the bytes copied have the
    // SHA-256 `expected` (the source changed or was altered). With `ageUnix` the copy gets that
    // last-write time.
    StagedFile(const std::filesystem::path& folder, const std::filesystem::path& source,
               const TSha256& expected, std::optional<int64_t> ageUnix, mode_t mode);
    StagedFile(StagedFile&& other) noexcept;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    ~StagedFile();

    // Renames the staged file over the target (in the same folder). Does not sync the folder.
    void ReplaceInto(const std::filesystem::path& target);
    // Gives the staged file the target's name only if that name is free (PublishError(Failed)
    // naming it otherwise). Does not sync the folder.
    void LinkInto(const std::filesystem::path& target);

  private:
    // Makes the temporary file and returns it open; path_ names it.
    UniqueFd Create(const std::filesystem::path& folder);

    std::filesystem::path path_;
    bool placed_ = false;
};

}  // namespace publish
