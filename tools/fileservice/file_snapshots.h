#pragma once
// Sealed in-memory copies of served files, so that a download can go out by sendfile.
//
// Sending a file's own pages by sendfile is unsafe when the file may be rewritten in place: the
// socket holds references to the page cache, not copies, and a write that lands before the client
// has read them sends bytes of the new version under the old one's validators. Reading each block
// into memory and checking the file after it (the service's other way) is safe but costs two extra
// copies per byte. A snapshot is copied once per version of a file into a memfd, checked against
// the file after the copy, and sealed: its pages can never change, so any number of downloads may
// send them by reference. Each download checks the file's current version first; a file rewritten
// since is copied again, and one rewritten while a download of its snapshot runs leaves that
// download whole, in the version its validators name.
//
// Bounded: files up to `maxFileBytes`, `maxBytes` and `maxFiles` in all (least recently used
// dropped first; a dropped snapshot's memory goes once the downloads still sending it end).
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "tools/fileservice/http_message.h"

namespace fileservice {

struct SnapshotOptions {
    std::uint64_t maxBytes = 512ull << 20;
    std::uint64_t maxFileBytes = 64ull << 20;
    // Each snapshot holds a descriptor; a folder whose small files are replaced over and over
    // (each a new file) would otherwise gather them without end.
    std::size_t maxFiles = 1000;
};

// One sealed copy: `fd` (owned) holds exactly `size` bytes of the file's version `version`.
struct FileSnapshot {
    int fd = -1;
    std::uint64_t size = 0;
    FileVersion version;
    const char* mapped = nullptr;  // the whole copy, read-only (for answers that cannot sendfile)

    FileSnapshot() = default;
    FileSnapshot(const FileSnapshot&) = delete;
    FileSnapshot& operator=(const FileSnapshot&) = delete;
    ~FileSnapshot();
};

class FileSnapshots {
  public:
    explicit FileSnapshots(SnapshotOptions options) : options_(options) {}

    // The snapshot of the file open as `fd`, whose fstat gave `info` a moment ago: the one kept when
    // it is of that version, else a new copy. Null when the file is too large, memory for it cannot
    // be had, another request is copying it right now, or it changed while it was copied: the
    // caller sends the file itself then.
    std::shared_ptr<const FileSnapshot> Get(int fd, const struct stat& info);

    std::uint64_t Bytes() const { return bytes_; }
    std::size_t Copies() const { return copies_; }

  private:
    std::shared_ptr<FileSnapshot> Copy(int fd, const struct stat& info) const;
    void Trim();  // under mutex_

    struct Entry {
        std::shared_ptr<const FileSnapshot> snapshot;  // null while being copied
        std::list<std::pair<dev_t, ino_t>>::iterator use;
    };

    const SnapshotOptions options_;
    std::mutex mutex_;
    std::map<std::pair<dev_t, ino_t>, Entry> entries_;
    std::list<std::pair<dev_t, ino_t>> uses_;  // most recently used first
    std::atomic<std::uint64_t> bytes_{0};
    std::atomic<std::size_t> copies_{0};
};

}  // namespace fileservice
