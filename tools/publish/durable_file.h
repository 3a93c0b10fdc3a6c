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

namespace publish {

// Creates a file that must not exist yet, with its permissions from the start (no window in
// which it has other ones). Raises PublishError(Failed), naming the file when it already exists.
UniqueFd CreateNewFile(const std::filesystem::path& file, mode_t mode);

// Writes all bytes and flushes them to the disk.
void WriteAllAndSync(int fd, std::string_view bytes, const std::filesystem::path& shownAs);

// The whole content of a file; nullopt when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& file);

// Holds an exclusive lock on a folder for as long as the owner lives, so that two signings of one
// folder cannot interleave their renames (and leave one's signature beside the other's manifest).
// Raises PublishError(Failed) when another process holds it.
UniqueFd LockFolder(const std::filesystem::path& folder);

// Flushes a folder's entries (the renames and creations in it) to the disk.
void SyncFolder(const std::filesystem::path& folder);

// The new content of a file, written in full under a "~aur*.tmp" name in the target's folder (the
// name that folder walks skip) until it is renamed into place; removed if never renamed.
class StagedFile {
  public:
    StagedFile(const std::filesystem::path& folder, std::string_view bytes, mode_t mode);
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    ~StagedFile();

    // Renames the staged file over the target (in the same folder). Does not sync the folder.
    void ReplaceInto(const std::filesystem::path& target);

  private:
    std::filesystem::path path_;
    bool placed_ = false;
};

}  // namespace publish
