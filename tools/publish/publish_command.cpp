// Publishing a release: the folder's files go into the server's object store (each content once,
// only what is not there yet or is there damaged), then the signed release that names them. Nothing
// a workstation takes changes: only a rollout document points rings at a release. Every copy is
// staged and checked before the first is put in place, and a failure removes the objects this
// command stored, so that it leaves the server as it found it.
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <set>

#include "tools/publish/clock_check.h"
#include "tools/publish/commands.h"
#include "tools/publish/deflated_object.h"
#include "tools/publish/durable_file.h"
#include "tools/publish/folder_files.h"
#include "tools/publish/leftover_sweep.h"
#include "tools/publish/publisher_key.h"
#include "tools/publish/root_chain.h"
#include "tools/publish/server_store.h"
#include "tools/publish/signed_document.h"

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

struct ObjectCopy {
    StagedFile Copy;
    fs::path Object;
    bool Replaces = false;  // a damaged object
};

}  // namespace

void RunPublish(const PublishOptions& options) {
    CheckFolder(options.from, "to publish");
    CheckFolder(options.server, "to publish into");
    const Key key = ReadPrivateKey(options.key);
    RefuseKeyInside(options.from, options.key, "to publish");
    RefuseKeyInside(options.server, options.key, "of the server");
    const Key publicKey = PublicKeyFrom(PublicPointOf(key.get()));
    const UniqueFd lock = LockFolder(options.server);
    SweepLeftovers(options.server);

    const std::vector<FolderFile> entries = ListFolderEntries(options.from);
    RefuseSecrets(entries, options.key);
    if (entries.empty())
        throw PublishError(ExitStatus::Failed,
                           "The folder " + options.from.string() + " holds no file to publish");
    TRelease release;
    std::optional<TRelease> newest;
    release.Serial = NextReleaseSerial(options.server, publicKey.get(), newest);
    release.CreatedUnix = static_cast<int64_t>(std::time(nullptr));
    const std::optional<SignerNaming> signer = CertifiedSigner(options.server, key.get(), TKeyRole::Manifest,
                                                               release.CreatedUnix, options.deployment);
    if (signer) signer->Into(release);
    CheckClock(release.CreatedUnix, 0, EvidenceOf(options.server, publicKey.get()), options.force);
    release.Note = options.note;
    for (const auto& entry : entries)
        release.Files.push_back({entry.File.Name, entry.File.Size, entry.File.Sha256, entry.AgeUnix});
    std::vector<fs::path> contents;
    for (const auto& entry : entries) contents.push_back(entry.Path);
    std::vector<MadePatch> patches =
        AttachPatches(options.server, publicKey.get(), release, contents, options.patches);
    StoreUndo undo;
    undo.MakeFolder(options.server / kObjectsFolderName);
    undo.MakeFolder(ReleasesFolder(options.server));
    uint64_t storedBytes = 0, totalBytes = 0;
    size_t replaced = 0;
    std::vector<ObjectCopy> copies;
    std::map<TSha256, DeflatedCopy> deflated;  // by content: the deflated objects the release names
    std::set<TSha256> undeflated;
    for (const auto& entry : entries) {
        totalBytes += entry.File.Size;
        const fs::path object = ObjectFile(options.server, entry.File.Sha256);
        struct stat present {};
        bool damaged = false, holds = false;
        if (::lstat(object.c_str(), &present) == 0) {
            if (!S_ISREG(present.st_mode))
                throw PublishError(ExitStatus::Failed, "The stored object " + object.string() +
                                                           " is not a file; move it aside and publish again");
            // Trusted only for what it holds, not for its name or size: a damaged copy would be
            // served to every workstation of every release that names it.
            holds = ObjectHolds(object, entry.File.Size, entry.File.Sha256);
            damaged = !holds;
        }
        if (!deflated.count(entry.File.Sha256) && !undeflated.count(entry.File.Sha256)) {
            undo.MakeFolder(object.parent_path());
            // A content stored before keeps the deflated copy it got then, or none: deflating every
            // unchanged file again would cost each publish the time of the whole folder.
            std::optional<DeflatedCopy> copy = PrepareDeflated(object, entry.Path, entry.File.Size,
                                                               entry.File.Sha256, kPublishedMode, holds);
            if (copy)
                deflated.emplace(entry.File.Sha256, std::move(*copy));
            else
                undeflated.insert(entry.File.Sha256);
        }
        if (holds) continue;
        bool staged = false;
        for (const auto& copy : copies) staged = staged || copy.Object == object;
        if (staged) continue;  // two files of the release with one content
        undo.MakeFolder(object.parent_path());
        // The copy is hashed as it is written: a file that changed since it was listed is refused.
        copies.push_back(
            {StagedFile(object.parent_path(), entry.Path, entry.File.Sha256, std::nullopt, kPublishedMode),
             object, damaged});
        storedBytes += entry.File.Size;
    }
    for (auto& file : release.Files) {
        const auto found = deflated.find(file.Sha256);
        if (found != deflated.end()) file.DeflatedSize = found->second.Size;
    }
    std::string bytes;
    try {
        bytes = EncodeRelease(release);
        DecodeRelease(bytes);  // what the launcher would refuse to read is not signed
    } catch (const TManifestError& e) {
        throw PublishError(ExitStatus::Failed, std::string("The folder cannot be published: ") + e.what());
    }
    const SignedDocument document = SignDocument(
        fs::path(kReleasesFolderName) / (std::to_string(release.Serial) + ".json"), bytes, key.get());

    uint64_t patchBytes = 0;
    for (auto& patch : patches) {
        const fs::path object = ObjectFile(options.server, patch.Entry.Sha256);
        bool staged = false;
        for (const auto& copy : copies) staged = staged || copy.Object == object;
        if (staged || ObjectHolds(object, patch.Entry.Size, patch.Entry.Sha256)) continue;
        undo.MakeFolder(object.parent_path());
        copies.push_back({StagedFile(object.parent_path(), patch.Bytes, kPublishedMode), object,
                          fs::exists(fs::symlink_status(object))});
        storedBytes += patch.Entry.Size;
        patchBytes += patch.Entry.Size;
    }
    for (auto& copy : copies) {
        copy.Copy.ReplaceInto(copy.Object);
        if (copy.Replaces) {
            ++replaced;
            std::fprintf(stderr, "aurevia-publish: warning: the stored object %s was damaged; replaced\n",
                         copy.Object.c_str());
        } else {
            undo.Stored(copy.Object);
        }
    }
    // The deflated objects after the plain ones: a launcher never finds one without the other.
    uint64_t deflatedBytes = 0;
    for (auto& [sha256, copy] : deflated) {
        deflatedBytes += copy.Size;
        if (!copy.Copy) continue;
        copy.Copy->ReplaceInto(copy.Object);
        if (copy.Replaces)
            std::fprintf(stderr, "aurevia-publish: warning: the stored object %s was damaged; replaced\n",
                         copy.Object.c_str());
        else
            undo.Stored(copy.Object);
        SyncFolder(copy.Object.parent_path());
    }
    for (const auto& copy : copies) SyncFolder(copy.Object.parent_path());
    SyncFolder(options.server / kObjectsFolderName);

    KeepSignerDeployment(options.server, signer, options.deployment);
    CreateSignedDocument(options.server, document);
    SyncFolder(ReleasesFolder(options.server));
    SyncFolder(options.server);
    undo.Done();
    std::printf("Published release %llu: %zu files, %llu bytes; %zu new objects stored (%llu bytes)",
                static_cast<unsigned long long>(release.Serial), release.Files.size(),
                static_cast<unsigned long long>(totalBytes), copies.size() - replaced,
                static_cast<unsigned long long>(storedBytes));
    if (replaced > 0) std::printf("; %zu damaged objects replaced", replaced);
    if (!deflated.empty())
        std::printf("; %zu stored deflated too (%llu bytes deflated)", deflated.size(),
                    static_cast<unsigned long long>(deflatedBytes));
    size_t listed = 0;
    for (const auto& file : release.Files) listed += file.Patches.size();
    if (listed > 0)
        std::printf("; %zu patches listed, %llu bytes of them new", listed,
                    static_cast<unsigned long long>(patchBytes));
    std::printf("\n%llu\n", static_cast<unsigned long long>(release.Serial));
}

}  // namespace publish
