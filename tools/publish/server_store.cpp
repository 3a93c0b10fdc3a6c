#include "tools/publish/server_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>

#include "tools/publish/folder_files.h"
#include "tools/publish/key_file.h"
#include "tools/publish/publish_error.h"
#include "tools/publish/publisher_key.h"
#include "update/trust/document_text.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

constexpr mode_t kPublishedMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;

std::string_view AsText(const RawSignature& signature) {
    return std::string_view(reinterpret_cast<const char*>(signature.data()), signature.size());
}

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

std::optional<TRollout> ReadRollout(const fs::path& server, EVP_PKEY* publicKey) {
    const fs::path file = server / kRolloutFileName;
    std::error_code error;
    if (!fs::exists(fs::symlink_status(file, error))) return std::nullopt;
    const std::string bytes = ReadSignedDocument(file, "rollout document", publicKey);
    try {
        return DecodeRollout(bytes);
    } catch (const TManifestError& e) {
        throw PublishError(ExitStatus::BadSignature,
                           "The rollout document " + file.string() + " cannot be read: " + e.what());
    }
}

void StagedDocument::Place() {
    Signature.ReplaceInto(SignatureBeside(Target));
    Document.ReplaceInto(Target);
}

StagedDocument StageSignedDocument(const fs::path& target, std::string_view bytes, EVP_PKEY* key) {
    const RawSignature signature = Sign(key, bytes);
    const Key publicKey = PublicKeyFrom(PublicPointOf(key));
    if (!Verifies(publicKey.get(), bytes, AsText(signature)))
        throw PublishError(ExitStatus::Failed, "The new signature does not verify; nothing was replaced");
    const fs::path folder = target.parent_path();
    return StagedDocument{StagedFile(folder, AsText(signature), kPublishedMode),
                          StagedFile(folder, bytes, kPublishedMode), target};
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
        try {
            document_text::Sha256From(name);
            if (name == document_text::AsciiLowered(name) && parent == name.substr(0, 2) &&
                it->path().parent_path().parent_path() == root)
                object.Hex = name;
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
