// A rollout: a new signed rollout document in which one ring takes a release for a share of its
// workstations and keeps its previous release for the rest. The same command widens a rollout
// (the same release, a higher percent) and rolls back (an older release): every document has a
// higher serial than the last, so that a workstation that accepted it refuses any older one that is
// replayed. With --flat the release's files and a signed flat manifest are also laid into the flat
// folder for launchers that follow it. Everything is staged and checked first into the next live
// generation (live_generation.h): the rollout document, and with --flat the flat files and the flat
// manifest, all made visible by one rename. With --stage the ring keeps what it takes and its entry
// names a release its workstations fetch ahead of the switch.
#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>

#include "tools/publish/clock_check.h"
#include "common/instant.h"
#include "tools/publish/commands.h"
#include "tools/publish/durable_file.h"
#include "tools/publish/flat_signing.h"
#include "tools/publish/folder_files.h"
#include "tools/publish/leftover_sweep.h"
#include "tools/publish/live_generation.h"
#include "tools/publish/publisher_key.h"
#include "tools/publish/root_chain.h"
#include "tools/publish/server_store.h"
#include "update/trust/document_text.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

constexpr int64_t kSecondsPerDay = 86'400;

// The release that the ring's workstations fall back on while `release` rolls out: the release its
// entry gives them (or, without an entry of its own, the entry of "geral" they followed), unless
// that is the one now rolled out or stood at 0 %; then the entry's previous one.
std::optional<uint64_t> ReleaseBefore(const std::optional<TRollout>& present, const std::string& ring,
                                      uint64_t release) {
    if (!present) return std::nullopt;
    const TRingAssignment* entry = RingEntry(*present, ring);
    if (!entry) return std::nullopt;
    if (entry->Release != release && (entry->Percent > 0 || !entry->Previous)) return entry->Release;
    if (entry->Previous && *entry->Previous != release) return entry->Previous;
    return std::nullopt;
}

TRingAssignment NewEntry(const std::optional<TRollout>& present, const RolloutOptions& options) {
    TRingAssignment entry;
    entry.Ring = options.ring;
    entry.Release = options.release;
    entry.Percent = options.percent;
    const TRingAssignment* own = nullptr;
    if (present) {
        for (const auto& ring : present->Rings)
            if (ring.Ring == options.ring) own = &ring;
    }
    if (own && own->Release == options.release) {
        entry.Previous = own->Previous;  // the same rollout, wider or narrower
    } else {
        entry.Previous = ReleaseBefore(present, options.ring, options.release);
    }
    // A stage stays until the ring switches to what it staged.
    if (own && own->Staged && *own->Staged != options.release) {
        entry.Staged = own->Staged;
        entry.StagedSha256 = own->StagedSha256;
    }
    if (entry.Percent < 100 && !entry.Previous)
        throw PublishError(ExitStatus::Failed,
                           "Ring \"" + options.ring + "\" has no previous release for the other " +
                               std::to_string(100 - options.percent) +
                               " % of its workstations to keep; roll release " +
                               std::to_string(options.release) +
                               " out at 100 % (no --percent), or first give the ring another release");
    return entry;
}

// The previous release is pinned by its bytes as kept, whoever signed them: after a change of key it
// may carry the earlier key's signature, which is the workstations' to judge, and a pin only ever
// narrows what they take. A release no longer kept is left unpinned, as before pins.
std::optional<TSha256> PreviousPin(const fs::path& server, uint64_t previous) {
    try {
        return ReleaseDocumentSha256(server, previous, nullptr);
    } catch (const PublishError&) {
        return std::nullopt;
    }
}

// The ring's own entry as it stands, naming `serial` as staged. Staging changes no workstation's
// files, so the ring must already have an entry of its own that says what it takes.
TRingAssignment StagedEntry(const std::optional<TRollout>& present, const RolloutOptions& options,
                            uint64_t serial, const TSha256& documentSha256) {
    const TRingAssignment* own = nullptr;
    if (present) {
        for (const auto& ring : present->Rings)
            if (ring.Ring == options.ring) own = &ring;
    }
    if (!own)
        throw PublishError(ExitStatus::Failed,
                           "Ring \"" + options.ring +
                               "\" has no entry of its own to stage a release in; first give it a "
                               "release (rollout --ring " +
                               options.ring + " --release N)");
    if (own->Release == serial && own->Percent == 100)
        throw PublishError(ExitStatus::Failed, "Ring \"" + options.ring + "\" already takes release " +
                                                   std::to_string(serial) + " on all its workstations");
    TRingAssignment entry = *own;
    entry.Staged = serial;
    entry.StagedSha256 = documentSha256;
    return entry;
}

// Where a release file goes in the flat folder: the path of a file already there under the same
// name in another letter case (one name per Windows name), else the name's own path.
struct FlatTarget {
    fs::path Path;
    std::string Name;
};

FlatTarget TargetOf(const fs::path& server, const TReleaseFile& file,
                    const std::vector<FolderFile>& present) {
    for (const auto& entry : present)
        if (document_text::SameIgnoringAsciiCase(entry.File.Name, file.Name))
            return {entry.Path, entry.File.Name};
    std::string relative = file.Name;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    return {server / relative, file.Name};
}

// Lays the release's files into the next generation under their flat names and returns the flat
// manifest that lists them beside the folder's other files.
SignedManifest StageFlat(const RolloutOptions& options, const TRelease& release, EVP_PKEY* key, int64_t now,
                         const std::optional<SignerNaming>& signer, NextGeneration& generation) {
    const std::vector<FolderFile> present = ListFolderEntries(options.server);
    RefuseSecrets(present, options.key);
    std::map<std::string, TManifestFile> listed;  // by name as listed
    for (const auto& entry : present) listed[entry.File.Name] = entry.File;
    for (const auto& file : release.Files) {
        const FlatTarget target = TargetOf(options.server, file, present);
        struct stat info {};
        if (::lstat(target.Path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode))
            throw PublishError(ExitStatus::Failed, "Cannot lay " + file.Name + " into the flat folder: " +
                                                       target.Path.string() + " is not a file");
        std::string relative = target.Name;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        generation.PutCopy(relative, ObjectFile(options.server, file.Sha256), file.Sha256, file.AgeUnix);
        listed[target.Name] = TManifestFile{target.Name, file.Size, file.Sha256};
    }
    std::vector<TManifestFile> files;
    files.reserve(listed.size());
    for (auto& [name, file] : listed) files.push_back(std::move(file));
    return PrepareFlatManifest(options.server, std::move(files), key, now, options.validDays, std::nullopt,
                               signer);
}

// Every object is read in full: a damaged one would be served to every workstation of the ring.
void CheckObjects(const fs::path& server, const TRelease& release) {
    for (const auto& file : release.Files) {
        const fs::path object = ObjectFile(server, file.Sha256);
        if (!ObjectHolds(object, file.Size, file.Sha256))
            throw PublishError(
                ExitStatus::Failed,
                "Release " + std::to_string(release.Serial) + " lacks the object of " + file.Name + " (" +
                    object.string() +
                    " is missing or damaged); publish the release's folder again to store it anew");
    }
}

}  // namespace

void RunRollout(const RolloutOptions& options) {
    std::error_code error;
    if (!fs::is_directory(options.server, error))
        throw PublishError(ExitStatus::NoFolder, "No folder " + options.server.string() + " to roll out in");
    const Key key = ReadPrivateKey(options.key);
    RefuseKeyInside(options.server, options.key, "of the server");
    const Key publicKey = PublicKeyFrom(PublicPointOf(key.get()));
    const UniqueFd lock = LockFolder(options.server);
    SweepLeftovers(options.server);

    const uint64_t serial = options.stage ? *options.stage : options.release;
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    // The flat manifest that --flat signs too needs the manifest role as well.
    const std::optional<SignerNaming> signer =
        CertifiedSigner(options.server, key.get(), TKeyRole::Rollout, now, options.deployment);
    if (options.flat) CertifiedSigner(options.server, key.get(), TKeyRole::Manifest, now, options.deployment);
    // Under a root the release may be signed by another key than the rollout's: the one it names.
    const Key releaseKey = signer ? CertifiedReleaseSigner(options.server, serial, now)
                                  : PublicKeyFrom(PublicPointOf(key.get()));
    const TRelease release = ReadRelease(options.server, serial, releaseKey.get());
    // A release signed for another deployment (copied in from one that shares the keys) would be
    // refused by every workstation of this one; it is not rolled out.
    if (signer && release.Deployment != signer->Deployment.Name)
        throw PublishError(ExitStatus::Failed,
                           "Release " + std::to_string(serial) + " was published for the deployment " +
                               (release.Deployment.empty() ? std::string("(none)") : release.Deployment) +
                               ", this server folder publishes for " + signer->Deployment.Name +
                               "; publish its folder here instead");
    CheckObjects(options.server, release);
    const std::optional<TRollout> present = ReadRollout(options.server, publicKey.get(), options.adopt);

    TRollout rollout;
    if (signer) signer->Into(rollout);
    rollout.Serial = now > 0 ? static_cast<uint64_t>(now) : 0;
    if (present) {
        if (present->Serial == UINT64_MAX)
            throw PublishError(ExitStatus::Failed,
                               "The present rollout document's serial is the largest there is");
        rollout.Serial = std::max(rollout.Serial, present->Serial + 1);
        rollout.Rings = present->Rings;
    }
    rollout.ExpiresUnix = now + options.validDays * kSecondsPerDay;
    CheckClock(now, rollout.ExpiresUnix, EvidenceOf(options.server, publicKey.get()), options.force);
    TRingAssignment entry = options.stage
                                ? StagedEntry(present, options, serial,
                                              ReleaseDocumentSha256(options.server, serial, releaseKey.get()))
                                : NewEntry(present, options);
    if (!options.stage) {
        // Pinned by their bytes: a workstation then takes these documents and no other served under
        // their serials.
        entry.ReleaseSha256 = ReleaseDocumentSha256(options.server, entry.Release, releaseKey.get());
        if (entry.Previous) entry.PreviousSha256 = PreviousPin(options.server, *entry.Previous);
    }
    const auto own = std::find_if(rollout.Rings.begin(), rollout.Rings.end(),
                                  [&](const TRingAssignment& ring) { return ring.Ring == options.ring; });
    if (own != rollout.Rings.end())
        *own = entry;
    else
        rollout.Rings.push_back(entry);
    std::string bytes;
    try {
        bytes = EncodeRollout(rollout);
        DecodeRollout(bytes);
    } catch (const TManifestError& e) {
        throw PublishError(ExitStatus::Failed,
                           std::string("The rollout document cannot be written: ") + e.what());
    }
    const SignedDocument document = SignDocument(std::string(kRolloutFileName), bytes, key.get());

    KeepSignerDeployment(options.server, signer, options.deployment);
    NextGeneration generation(options.server);
    std::optional<SignedManifest> flat;
    if (options.flat) flat.emplace(StageFlat(options, release, key.get(), now, signer, generation));
    generation.Put(document);
    if (flat) generation.Put(flat->Document);
    generation.Commit();

    std::printf("Rollout document %llu (expires %s): ring %s takes release %llu",
                static_cast<unsigned long long>(rollout.Serial),
                UtcText(Instant{rollout.ExpiresUnix}).c_str(), entry.Ring.c_str(),
                static_cast<unsigned long long>(entry.Release));
    if (entry.Percent < 100 && entry.Previous)
        std::printf(" on %u %% of its workstations, release %llu on the rest", entry.Percent,
                    static_cast<unsigned long long>(*entry.Previous));
    if (entry.Staged)
        std::printf("; release %llu is staged (fetched ahead, installed nowhere)",
                    static_cast<unsigned long long>(*entry.Staged));
    std::printf("\n");
    if (flat)
        std::printf("Flat folder: %zu files of release %llu laid, manifest serial %llu\n",
                    release.Files.size(), static_cast<unsigned long long>(release.Serial),
                    static_cast<unsigned long long>(flat->Manifest.Serial));
}

}  // namespace publish
