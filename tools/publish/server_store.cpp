#include "tools/publish/server_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "tools/publish/folder_files.h"
#include "tools/publish/key_file.h"
#include "tools/publish/publish_error.h"
#include "tools/publish/publisher_key.h"
#include "update/trust/document_text.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

fs::path SignatureBeside(const fs::path& document) {
    fs::path signature = document;
    signature.replace_extension(".sig");
    return signature;
}

// The document's bytes, its signature checked when a key is given.
std::string ReadSignedDocument(const fs::path& document, const std::string& what, EVP_PKEY* publicKey) {
    std::string bytes = ReadRegularFile(document, what, ExitStatus::BadSignature, kMostDocumentSize);
    if (publicKey != nullptr) {
        const std::string signature =
            ReadRegularFile(SignatureBeside(document), what + "'s signature", ExitStatus::BadSignature, 4096);
        if (!Verifies(publicKey, bytes, signature))
            throw PublishError(ExitStatus::BadSignature,
                               "The signature of the " + what + " " + document.string() +
                                   " does not verify with this key: it was changed after signing, or "
                                   "another key signed it");
    }
    return bytes;
}

}  // namespace

fs::path ReleasesFolder(const fs::path& server) { return server / kReleasesFolderName; }

fs::path ReleaseFile(const fs::path& server, uint64_t serial, const char* extension) {
    return ReleasesFolder(server) / (std::to_string(serial) + extension);
}

fs::path ObjectFile(const fs::path& server, const TSha256& sha256) { return server / ObjectPath(sha256); }

std::vector<uint64_t> ReleaseSerials(const fs::path& server) {
    std::vector<uint64_t> serials;
    std::error_code error;
    const fs::path folder = ReleasesFolder(server);
    if (!fs::exists(folder, error)) return serials;
    fs::directory_iterator it(folder, error), end;
    for (; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() < 6 || name.compare(name.size() - 5, 5, ".json") != 0) continue;
        uint64_t serial = 0;
        const char* last = name.data() + name.size() - 5;
        const auto [stop, failed] = std::from_chars(name.data(), last, serial);
        if (failed == std::errc() && stop == last && serial > 0 && name[0] != '0') serials.push_back(serial);
    }
    if (error)
        throw PublishError(ExitStatus::Failed, "Cannot read " + folder.string() + ": " + error.message());
    std::sort(serials.begin(), serials.end());
    return serials;
}

TRelease ReadRelease(const fs::path& server, uint64_t serial, EVP_PKEY* publicKey) {
    const fs::path file = ReleaseFile(server, serial, ".json");
    std::error_code error;
    if (!fs::exists(fs::symlink_status(file, error)))
        throw PublishError(ExitStatus::NotFound, "The server keeps no release " + std::to_string(serial) +
                                                     " (no " + file.string() +
                                                     "; aurevia-publish status lists them)");
    const std::string bytes = ReadSignedDocument(file, "release " + std::to_string(serial), publicKey);
    try {
        TRelease release = DecodeRelease(bytes);
        if (release.Serial != serial)
            throw TManifestError("it says it is release " + std::to_string(release.Serial));
        return release;
    } catch (const TManifestError& e) {
        throw PublishError(ExitStatus::BadSignature,
                           "The release " + file.string() + " cannot be read: " + e.what());
    }
}

std::optional<TRollout> ReadRollout(const fs::path& server, EVP_PKEY* publicKey, bool adoptUnverified) {
    const fs::path file = server / kRolloutFileName;
    std::error_code error;
    if (!fs::exists(fs::symlink_status(file, error))) return std::nullopt;
    std::string bytes;
    try {
        bytes = ReadSignedDocument(file, "rollout document", publicKey);
    } catch (const PublishError& e) {
        if (!adoptUnverified || e.Status != ExitStatus::BadSignature)
            // The document holds every ring: the way out after a change of key keeps them all.
            throw PublishError(e.Status,
                               std::string(e.what()) +
                                   ". If the publisher key was replaced on purpose, check the rings "
                                   "that aurevia-publish status --to SERVER lists, then run the "
                                   "rollout again with --adopt: every ring is kept and signed with "
                                   "the new key");
        std::fprintf(stderr,
                     "aurevia-publish: warning: %s; --adopt given: its rings are kept and signed anew\n",
                     e.what());
        bytes = ReadRegularFile(file, "rollout document", ExitStatus::BadSignature, kMostDocumentSize);
    }
    try {
        return DecodeRollout(bytes);
    } catch (const TManifestError& e) {
        throw PublishError(ExitStatus::BadSignature,
                           "The rollout document " + file.string() + " cannot be read: " + e.what());
    }
}

namespace {

std::optional<TRelease> NewestVerifiedRelease(const fs::path& server, EVP_PKEY* publicKey, bool warn) {
    const std::vector<uint64_t> serials = ReleaseSerials(server);
    for (auto it = serials.rbegin(); it != serials.rend(); ++it) {
        try {
            return ReadRelease(server, *it, publicKey);
        } catch (const PublishError& e) {
            if (warn)
                std::fprintf(stderr, "aurevia-publish: warning: %s; its serial is not followed\n", e.what());
        }
    }
    return std::nullopt;
}

}  // namespace

uint64_t NextReleaseSerial(const fs::path& server, EVP_PKEY* publicKey, std::optional<TRelease>& newest) {
    newest = NewestVerifiedRelease(server, publicKey, true);
    uint64_t next = 1;
    if (newest) {
        if (newest->Serial == UINT64_MAX)
            throw PublishError(ExitStatus::Failed, "Release " + std::to_string(newest->Serial) +
                                                       " has the largest serial there is; no later release "
                                                       "can be published on this server");
        next = newest->Serial + 1;
    }
    for (;; ++next) {
        std::error_code error;
        const bool taken = fs::exists(fs::symlink_status(ReleaseFile(server, next, ".json"), error));
        if (!taken) return next;
        if (next == UINT64_MAX)
            throw PublishError(ExitStatus::Failed, "No free release serial is left on this server");
    }
}

SigningEvidence EvidenceOf(const fs::path& server, EVP_PKEY* publicKey) {
    SigningEvidence evidence;
    for (const auto& [name, what] : {std::pair{std::string(kRolloutFileName), "the rollout document"},
                                     std::pair{std::string(kManifestFileName), "the flat manifest"}}) {
        struct stat info {};
        if (::stat((server / name).c_str(), &info) == 0)
            evidence.Consider(info.st_mtim.tv_sec, std::string(what) + " (written then)");
    }
    try {
        if (const auto rollout = ReadRollout(server, publicKey))
            evidence.Consider(static_cast<int64_t>(std::min<uint64_t>(rollout->Serial, INT64_MAX)),
                              "rollout document " + std::to_string(rollout->Serial));
    } catch (const PublishError&) {
        // One that does not verify shows nothing.
    }
    std::optional<TRelease> newest;
    try {
        newest = NewestVerifiedRelease(server, publicKey, false);
    } catch (const PublishError&) {
    }
    if (newest) evidence.Consider(newest->CreatedUnix, "release " + std::to_string(newest->Serial));
    return evidence;
}

bool ObjectHolds(const fs::path& object, uint64_t size, const TSha256& sha256) {
    struct stat info {};
    if (::lstat(object.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) != size)
        return false;
    try {
        const FolderFile read = HashFile(object, object.filename().string());
        return read.File.Size == size && read.File.Sha256 == sha256;
    } catch (const PublishError&) {
        return false;
    }
}

std::vector<StoredObject> ListObjects(const fs::path& server) {
    std::vector<StoredObject> objects;
    const fs::path root = server / kObjectsFolderName;
    std::error_code error;
    if (!fs::exists(root, error)) return objects;
    fs::recursive_directory_iterator it(root, error), end;
    for (; !error && it != end; it.increment(error)) {
        std::error_code entryError;
        if (!it->is_regular_file(entryError) || it->is_symlink(entryError)) continue;
        const std::string name = it->path().filename().string();
        if (IsTemporaryName(name)) continue;
        StoredObject object;
        object.Path = it->path();
        object.Size = it->file_size(entryError);
        const std::string parent = it->path().parent_path().filename().string();
        // A deflated object goes with its plain one: named, kept and pruned by the same content.
        std::string_view hexName = name;
        if (hexName.size() > kDeflatedObjectSuffix.size() &&
            hexName.substr(hexName.size() - kDeflatedObjectSuffix.size()) == kDeflatedObjectSuffix)
            hexName.remove_suffix(kDeflatedObjectSuffix.size());
        try {
            document_text::Sha256From(hexName);
            if (hexName == document_text::AsciiLowered(hexName) && parent == hexName.substr(0, 2) &&
                it->path().parent_path().parent_path() == root)
                object.Hex = hexName;
        } catch (const TManifestError&) {
        }
        objects.push_back(std::move(object));
    }
    if (error)
        throw PublishError(ExitStatus::Failed, "Cannot read " + root.string() + ": " + error.message());
    std::sort(objects.begin(), objects.end(),
              [](const StoredObject& a, const StoredObject& b) { return a.Path < b.Path; });
    return objects;
}

std::vector<uint64_t> ReferencedReleases(const std::optional<TRollout>& rollout) {
    std::vector<uint64_t> serials;
    if (!rollout) return serials;
    for (const auto& ring : rollout->Rings) {
        serials.push_back(ring.Release);
        if (ring.Previous) serials.push_back(*ring.Previous);
    }
    std::sort(serials.begin(), serials.end());
    serials.erase(std::unique(serials.begin(), serials.end()), serials.end());
    return serials;
}

}  // namespace publish
