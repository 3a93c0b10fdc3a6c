// Checking a folder against its manifest, for an administrator's release checklist: the signature
// first (nothing in an unsigned manifest is worth comparing), then the expiry and every file.
#include <cstdio>
#include <ctime>

#include "common/instant.h"
#include "tools/publish/commands.h"
#include "tools/publish/durable_file.h"
#include "tools/publish/folder_files.h"
#include "tools/publish/publisher_key.h"
#include "update/trust/release_manifest.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

std::string ReadWhole(const fs::path& file, const char* what) {
    std::error_code error;
    if (!fs::exists(file, error))
        throw PublishError(ExitStatus::BadSignature, "The folder has no " + std::string(what) + " (" +
                                                         file.filename().string() + "); sign it first");
    std::optional<std::string> bytes = ReadWholeFile(file);
    if (!bytes) throw PublishError(ExitStatus::BadSignature, "Cannot read " + file.string());
    return std::move(*bytes);
}

// Prints each difference on standard output; returns how many there are.
size_t PrintDifferences(const TReleaseManifest& manifest, const std::vector<TManifestFile>& present) {
    size_t differences = 0;
    const auto report = [&](const char* what, const std::string& name, const std::string& detail = {}) {
        std::printf("%s: %s%s\n", what, name.c_str(), detail.c_str());
        ++differences;
    };
    TReleaseManifest folder;
    folder.Files = present;
    for (const auto& listed : manifest.Files) {
        const TManifestFile* file = FindManifestFile(folder, listed.Name);
        if (file == nullptr) {
            report("missing", listed.Name);
        } else if (file->Size != listed.Size) {
            report("size differs", listed.Name,
                   " (manifest " + std::to_string(listed.Size) + " bytes, folder " +
                       std::to_string(file->Size) + " bytes)");
        } else if (file->Sha256 != listed.Sha256) {
            report("content differs", listed.Name, " (same size, another SHA-256)");
        }
    }
    for (const auto& file : present) {
        if (FindManifestFile(manifest, file.Name) == nullptr) report("not in the manifest", file.Name);
    }
    return differences;
}

}  // namespace

ExitStatus RunVerify(const fs::path& folder, const std::string& publicKey) {
    const Key key = ReadPublicKey(publicKey);
    std::error_code error;
    if (!fs::is_directory(folder, error))
        throw PublishError(ExitStatus::NoFolder, "No folder " + folder.string() + " to verify");
    const std::string bytes = ReadWhole(folder / kManifestFileName, "manifest");
    const std::string signature = ReadWhole(folder / kManifestSignatureFileName, "signature");
    if (!Verifies(key.get(), bytes, signature))
        throw PublishError(
            ExitStatus::BadSignature,
            "The signature does not verify with this key: the manifest or its signature was changed "
            "after signing, or another key signed it");
    TReleaseManifest manifest;
    try {
        manifest = DecodeReleaseManifest(bytes);
    } catch (const TManifestError& e) {
        throw PublishError(ExitStatus::BadSignature,
                           std::string("The signed manifest cannot be read: ") + e.what());
    }
    std::printf("Manifest: serial %llu, expires %s, %zu files\n",
                static_cast<unsigned long long>(manifest.Serial),
                UtcText(Instant{manifest.ExpiresUnix}).c_str(), manifest.Files.size());

    const size_t differences = PrintDifferences(manifest, ListFolderFiles(folder));
    const bool expired = static_cast<int64_t>(std::time(nullptr)) > manifest.ExpiresUnix;
    if (expired)
        std::fprintf(stderr,
                     "aurevia-publish: the manifest expired at %s; workstations refuse it (sign again)\n",
                     UtcText(Instant{manifest.ExpiresUnix}).c_str());
    if (differences > 0)
        std::fprintf(stderr, "aurevia-publish: %zu difference%s between the folder and its manifest\n",
                     differences, differences == 1 ? "" : "s");
    if (expired) return ExitStatus::Expired;
    if (differences > 0) return ExitStatus::Mismatch;
    std::printf("Signature good; all %zu files match the manifest.\n", manifest.Files.size());
    return ExitStatus::Ok;
}

}  // namespace publish
