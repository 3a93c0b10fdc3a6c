// What a server folder keeps (status) and the clean-up of what nothing needs any more (prune).
// Neither needs the key: status checks the documents' signatures only when given the public key
// (--pub), and prune only removes what no ring and no kept release names.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>

#include "common/instant.h"
#include "tools/publish/commands.h"
#include "tools/publish/durable_file.h"
#include "tools/publish/fleet_counts.h"
#include "tools/publish/leftover_sweep.h"
#include "tools/publish/live_generation.h"
#include "tools/publish/publisher_key.h"
#include "tools/publish/server_store.h"
#include "update/trust/document_text.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

unsigned long long Ull(uint64_t value) { return static_cast<unsigned long long>(value); }

void CheckServer(const fs::path& server) {
    std::error_code error;
    if (!fs::is_directory(server, error))
        throw PublishError(ExitStatus::NoFolder, "No server folder " + server.string());
}

struct Kept {
    std::map<uint64_t, TRelease> releases;
    std::map<uint64_t, std::string> unreadable;  // serial, why
};

Kept ReadReleases(const fs::path& server, EVP_PKEY* publicKey = nullptr) {
    Kept kept;
    for (const uint64_t serial : ReleaseSerials(server)) {
        try {
            kept.releases.emplace(serial, ReadRelease(server, serial, publicKey));
        } catch (const PublishError& e) {
            kept.unreadable.emplace(serial, e.what());
        }
    }
    return kept;
}

uint64_t SizeOf(const TRelease& release) {
    uint64_t bytes = 0;
    for (const auto& file : release.Files) bytes += file.Size;
    return bytes;
}

// The files' objects, and the patches that start from one of those files: a patch from a version
// that no release holds any more has lost its end.
std::set<std::string> ObjectsNamedBy(const std::map<uint64_t, TRelease>& releases) {
    std::set<std::string> named;
    for (const auto& [serial, release] : releases)
        for (const auto& file : release.Files) named.insert(document_text::HexOf(file.Sha256));
    std::set<std::string> patches;
    for (const auto& [serial, release] : releases)
        for (const auto& file : release.Files)
            for (const auto& patch : file.Patches)
                if (named.count(document_text::HexOf(patch.From)))
                    patches.insert(document_text::HexOf(patch.Sha256));
    named.insert(patches.begin(), patches.end());
    return named;
}

}  // namespace

namespace {

// The flat manifest's line; false when a key is given and its signature does not verify.
bool PrintFlatManifest(const fs::path& server, EVP_PKEY* publicKey, int64_t now) {
    const std::optional<std::string> bytes = ReadWholeFile(server / kManifestFileName);
    if (!bytes) {
        std::printf("Flat manifest: none\n");
        return true;
    }
    bool good = true;
    std::string check;
    if (publicKey) {
        const std::optional<std::string> signature = ReadWholeFile(server / kManifestSignatureFileName);
        good = signature && Verifies(publicKey, *bytes, *signature);
        check = good ? ", signature good" : ", SIGNATURE DOES NOT VERIFY (workstations refuse it)";
    }
    try {
        const TReleaseManifest manifest = DecodeReleaseManifest(*bytes);
        std::printf("Flat manifest: serial %llu, expires %s%s, %zu files%s\n", Ull(manifest.Serial),
                    UtcText(Instant{manifest.ExpiresUnix}).c_str(),
                    now > manifest.ExpiresUnix ? " (EXPIRED)" : "", manifest.Files.size(), check.c_str());
    } catch (const TManifestError& e) {
        std::printf("Flat manifest: UNREADABLE (%s)\n", e.what());
        return !publicKey;
    }
    return good;
}

}  // namespace

namespace {

// The ring's line under its staged release: what the fleet view counted, or why it did not.
void PrintFleetCount(const FleetCounts& fleet, const TRingAssignment& ring) {
    if (!fleet.reached) return;
    for (const FleetStagedRing& counted : fleet.rings) {
        if (counted.ring != ring.Ring) continue;
        if (counted.staged != *ring.Staged)
            std::printf(
                "    fleet view: its folder stages release %llu for this ring (%llu of %llu "
                "workstations hold it)\n",
                Ull(counted.staged), Ull(counted.holding), Ull(counted.workstations));
        else
            std::printf("    fleet view: %llu of %llu workstations hold it complete\n", Ull(counted.holding),
                        Ull(counted.workstations));
        return;
    }
    std::printf("    fleet view: not counted (its folder stages nothing for this ring)\n");
}

}  // namespace

ExitStatus RunStatus(const fs::path& server, const std::optional<std::string>& publicKeyText,
                     const std::optional<std::string>& fleetUrl) {
    CheckServer(server);
    Key publicKey;
    if (publicKeyText) publicKey = ReadPublicKey(*publicKeyText);
    bool allVerify = true;
    std::optional<TRollout> rollout;
    std::string rolloutCheck;
    if (publicKey) {
        try {
            rollout = ReadRollout(server, publicKey.get());
            rolloutCheck = ", signature good";
        } catch (const PublishError& e) {
            if (e.Status != ExitStatus::BadSignature) throw;
            rollout = ReadRollout(server, nullptr);
            rolloutCheck = ", SIGNATURE DOES NOT VERIFY (workstations refuse it)";
            allVerify = false;
        }
    } else {
        rollout = ReadRollout(server, nullptr);
    }
    const Kept kept = ReadReleases(server, publicKey.get());
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    FleetCounts fleet;
    if (fleetUrl) {
        fleet = ReadFleetCounts(*fleetUrl);
        if (fleet.reached)
            std::printf(
                "Fleet view: %s%s\n", fleetUrl->c_str(),
                fleet.moreRings
                    ? (" (" + std::to_string(fleet.moreRings) + " rings beyond those it counts)").c_str()
                    : "");
        else
            std::printf("Fleet view: NOT REACHED (%s); workstations holding staged releases not counted\n",
                        fleet.error.c_str());
    }
    if (const auto live = LiveGenerationFolder(server))
        std::printf("Live generation: %s\n", live->lexically_relative(server).c_str());

    if (!rollout) {
        std::printf("Rollout document: none (workstations follow the flat folder)\n");
    } else {
        std::printf("Rollout document: serial %llu, expires %s%s%s\n", Ull(rollout->Serial),
                    UtcText(Instant{rollout->ExpiresUnix}).c_str(),
                    now > rollout->ExpiresUnix ? " (EXPIRED: workstations refuse it)" : "",
                    rolloutCheck.c_str());
        for (const auto& ring : rollout->Rings) {
            std::printf("  ring %-16s release %llu", ring.Ring.c_str(), Ull(ring.Release));
            if (ring.Percent < 100 && ring.Previous)
                std::printf(" on %u %%, release %llu on %u %%", ring.Percent, Ull(*ring.Previous),
                            100 - ring.Percent);
            else if (ring.Previous)
                std::printf(" on 100 %% (previous %llu)", Ull(*ring.Previous));
            else
                std::printf(" on 100 %%");
            if (ring.Staged) std::printf(", release %llu staged", Ull(*ring.Staged));
            std::printf("\n");
            if (ring.Staged && fleetUrl) PrintFleetCount(fleet, ring);
            if (!kept.releases.count(ring.Release) ||
                (ring.Previous && !kept.releases.count(*ring.Previous)) ||
                (ring.Staged && !kept.releases.count(*ring.Staged)))
                std::printf("    warning: a release this ring names is missing or unreadable\n");
        }
        if (!RingEntry(*rollout, kDefaultRing))
            std::printf(
                "  (no ring \"geral\": workstations of a ring not named take nothing from the rollout)\n");
    }
    allVerify = PrintFlatManifest(server, publicKey.get(), now) && allVerify;
    allVerify = allVerify && kept.unreadable.empty();

    const std::vector<uint64_t> referenced = ReferencedReleases(rollout);
    std::printf("Releases: %zu\n", kept.releases.size() + kept.unreadable.size());
    for (const auto& [serial, release] : kept.releases) {
        const bool inUse = std::binary_search(referenced.begin(), referenced.end(), serial);
        bool staged = false;
        if (rollout)
            for (const auto& ring : rollout->Rings) staged = staged || ring.Staged == serial;
        std::printf("  %llu  created %s  %zu files, %llu bytes%s%s%s%s\n", Ull(serial),
                    UtcText(Instant{release.CreatedUnix}).c_str(), release.Files.size(), Ull(SizeOf(release)),
                    publicKey ? "  signature good" : "",
                    staged  ? "  (staged)"
                    : inUse ? "  (in a ring)"
                            : "",
                    release.Note.empty() ? "" : "  ", release.Note.c_str());
    }
    for (const auto& [serial, why] : kept.unreadable)
        std::printf("  %llu  UNREADABLE: %s\n", Ull(serial), why.c_str());

    const std::vector<StoredObject> objects = ListObjects(server);
    const std::set<std::string> named = ObjectsNamedBy(kept.releases);
    uint64_t storedBytes = 0, looseBytes = 0;
    std::vector<const StoredObject*> loose;
    for (const auto& object : objects) {
        storedBytes += object.Size;
        if (object.Hex.empty() || !named.count(object.Hex)) {
            loose.push_back(&object);
            looseBytes += object.Size;
        }
    }
    std::set<std::string> present;
    for (const auto& object : objects) present.insert(object.Hex);
    size_t missing = 0;
    for (const auto& hex : named) missing += !present.count(hex);
    std::printf("Objects: %zu stored, %llu bytes; %zu referenced by no release (%llu bytes)%s\n",
                objects.size(), Ull(storedBytes), loose.size(), Ull(looseBytes),
                kept.unreadable.empty() ? "" : " - an unreadable release may name some of them");
    for (const auto* object : loose)
        std::printf("  unreferenced: %s\n", object->Path.lexically_relative(server).c_str());
    if (missing > 0) std::printf("  warning: %zu objects that releases name are missing\n", missing);
    if (!allVerify) {
        std::fprintf(stderr, "aurevia-publish: a document listed above does not verify with this key\n");
        return ExitStatus::BadSignature;
    }
    return ExitStatus::Ok;
}

void RunPrune(const fs::path& server, uint64_t keep) {
    CheckServer(server);
    const UniqueFd lock = LockFolder(server);
    SweepLeftovers(server);
    // Every decision is taken before the first removal: a document that cannot be read stops
    // the command, since what it names is unknown.
    const std::optional<TRollout> rollout = ReadRollout(server, nullptr);
    const Kept kept = ReadReleases(server);
    if (!kept.unreadable.empty())
        throw PublishError(ExitStatus::Failed, "Nothing was removed: " + kept.unreadable.begin()->second);
    const std::vector<uint64_t> referenced = ReferencedReleases(rollout);

    std::map<uint64_t, TRelease> remaining;
    std::vector<uint64_t> removed;
    size_t position = kept.releases.size();
    for (const auto& [serial, release] : kept.releases) {
        --position;  // releases after this one
        if (position < keep || std::binary_search(referenced.begin(), referenced.end(), serial))
            remaining.emplace(serial, release);
        else
            removed.push_back(serial);
    }
    const std::set<std::string> named = ObjectsNamedBy(remaining);
    std::vector<StoredObject> loose;
    for (auto& object : ListObjects(server))
        if (!object.Hex.empty() && !named.count(object.Hex)) loose.push_back(std::move(object));

    uint64_t freed = 0;
    for (const uint64_t serial : removed) {
        // The document first: a signature without its document names nothing.
        for (const char* extension : {".json", ".sig"}) {
            std::error_code error;
            fs::remove(ReleaseFile(server, serial, extension), error);
            if (error)
                throw PublishError(ExitStatus::Failed, "Cannot remove " +
                                                           ReleaseFile(server, serial, extension).string() +
                                                           ": " + error.message());
        }
        std::printf("removed release %llu\n", Ull(serial));
    }
    if (!removed.empty()) SyncFolder(ReleasesFolder(server));
    std::set<fs::path> folders;
    for (const auto& object : loose) {
        std::error_code error;
        fs::remove(object.Path, error);
        if (error)
            throw PublishError(ExitStatus::Failed,
                               "Cannot remove " + object.Path.string() + ": " + error.message());
        freed += object.Size;
        folders.insert(object.Path.parent_path());
    }
    for (const auto& folder : folders) {
        std::error_code ignored;
        if (fs::is_empty(folder, ignored)) fs::remove(folder, ignored);
    }
    if (!folders.empty()) SyncFolder(server / kObjectsFolderName);
    std::printf("Pruned %zu releases and %zu objects (%llu bytes); %zu releases kept\n", removed.size(),
                loose.size(), Ull(freed), remaining.size());
}

}  // namespace publish
