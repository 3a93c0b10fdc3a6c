// Publishing a release: the folder's files go into the server's object store (each content once,
// only what is not there yet), then the signed release that names them. Nothing a workstation takes
// changes: only a rollout document points rings at a release. A failure removes the objects this
// command stored, so that it leaves the server as it found it.
#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "tools/publish/commands.h"
#include "tools/publish/durable_file.h"
#include "tools/publish/folder_files.h"
#include "tools/publish/publisher_key.h"
#include "tools/publish/server_store.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

constexpr mode_t kPublishedMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;

// Folders made and objects stored by this command, taken back unless it completes.
class StoreUndo {
  public:
    ~StoreUndo() {
        if (done_) return;
        std::error_code ignored;
        for (auto it = objects_.rbegin(); it != objects_.rend(); ++it) fs::remove(*it, ignored);
        for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) fs::remove(*it, ignored);  // if empty
    }
    void MakeFolder(const fs::path& folder) {
        std::error_code error;
        if (fs::is_directory(folder, error)) return;
        if (!fs::create_directory(folder, error) && !fs::is_directory(folder))
            throw PublishError(ExitStatus::Failed,
                               "Cannot create " + folder.string() + ": " + error.message());
        folders_.push_back(folder);
    }
    void Stored(const fs::path& object) { objects_.push_back(object); }
    void Done() { done_ = true; }

  private:
    std::vector<fs::path> folders_, objects_;
    bool done_ = false;
};

void CheckFolder(const fs::path& folder, const char* what) {
    std::error_code error;
    if (!fs::is_directory(folder, error))
        throw PublishError(ExitStatus::NoFolder, "No folder " + folder.string() + " " + what);
}

}  // namespace

void RunPublish(const PublishOptions& options) {
    CheckFolder(options.from, "to publish");
    CheckFolder(options.server, "to publish into");
    const Key key = ReadPrivateKey(options.key);
    RefuseKeyInside(options.from, options.key, "to publish");
    RefuseKeyInside(options.server, options.key, "of the server");
    const UniqueFd lock = LockFolder(options.server);

    const std::vector<FolderFile> entries = ListFolderEntries(options.from);
    RefuseSecrets(entries, options.key);
    if (entries.empty())
        throw PublishError(ExitStatus::Failed,
                           "The folder " + options.from.string() + " holds no file to publish");
    const std::vector<uint64_t> serials = ReleaseSerials(options.server);
    TRelease release;
    release.Serial = serials.empty() ? 1 : serials.back() + 1;
    release.CreatedUnix = static_cast<int64_t>(std::time(nullptr));
    release.Note = options.note;
    for (const auto& entry : entries)
        release.Files.push_back({entry.File.Name, entry.File.Size, entry.File.Sha256, entry.AgeUnix});
    std::string bytes;
    try {
        bytes = EncodeRelease(release);
        DecodeRelease(bytes);  // what the launcher would refuse to read is not signed
    } catch (const TManifestError& e) {
        throw PublishError(ExitStatus::Failed, std::string("The folder cannot be published: ") + e.what());
    }

    StoreUndo undo;
    undo.MakeFolder(options.server / kObjectsFolderName);
    undo.MakeFolder(ReleasesFolder(options.server));
    size_t stored = 0;
    uint64_t storedBytes = 0, totalBytes = 0;
    std::vector<fs::path> touchedFolders;
    for (const auto& entry : entries) {
        totalBytes += entry.File.Size;
        const fs::path object = ObjectFile(options.server, entry.File.Sha256);
        struct stat present {};
        if (::lstat(object.c_str(), &present) == 0) {
            if (S_ISREG(present.st_mode) && static_cast<uint64_t>(present.st_size) == entry.File.Size)
                continue;
            throw PublishError(ExitStatus::Failed,
                               "The stored object " + object.string() +
                                   " is not the file it should be (another size or kind); "
                                   "remove it and publish again");
        }
        undo.MakeFolder(object.parent_path());
        // The copy is hashed as it is written: a file that changed since it was listed is refused.
        StagedFile staged(object.parent_path(), entry.Path, entry.File.Sha256, std::nullopt, kPublishedMode);
        staged.ReplaceInto(object);
        undo.Stored(object);
        touchedFolders.push_back(object.parent_path());
        ++stored;
        storedBytes += entry.File.Size;
    }
    for (const auto& folder : touchedFolders) SyncFolder(folder);
    SyncFolder(options.server / kObjectsFolderName);

    StagedDocument document =
        StageSignedDocument(ReleaseFile(options.server, release.Serial, ".json"), bytes, key.get());
    document.Place();
    SyncFolder(ReleasesFolder(options.server));
    SyncFolder(options.server);
    undo.Done();
    std::printf("Published release %llu: %zu files, %llu bytes; %zu new objects stored (%llu bytes)\n",
                static_cast<unsigned long long>(release.Serial), release.Files.size(),
                static_cast<unsigned long long>(totalBytes), stored,
                static_cast<unsigned long long>(storedBytes));
    std::printf("%llu\n", static_cast<unsigned long long>(release.Serial));
}

}  // namespace publish
