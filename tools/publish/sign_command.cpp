// Signing a folder. The new manifest and signature are staged in full (flushed) and checked before
// anything visible changes; then the signature is renamed into place first and the manifest
// second. A reader that fetches the manifest and then its signature thus never pairs a new
// manifest with the old signature: once the new manifest is visible, its signature already is.
// In the moment between the renames (old manifest, new signature) a reader refuses and tries again
// later; a crash inside it leaves that pair until the next signing, refused but never accepted.
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <limits>

#include "tools/publish/commands.h"
#include "tools/publish/durable_file.h"
#include "tools/publish/folder_files.h"
#include "tools/publish/publisher_key.h"
#include "tools/publish/utc_text.h"
#include "update/trust/release_manifest.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

constexpr int64_t kSecondsPerDay = 86'400;
constexpr mode_t kPublishedMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;

// The serial of the manifest that the folder holds now; nullopt when it has none. One that cannot
// be read stops the signing (its serial may be the highest ever published, and a lower one would
// be refused by every workstation) unless the operator names a floor for the new serial.
std::optional<uint64_t> PresentSerial(const fs::path& manifestFile, bool floorGiven) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(manifestFile, error))) return std::nullopt;
    const std::optional<std::string> bytes = ReadWholeFile(manifestFile);
    try {
        if (!bytes) throw TManifestError("the file cannot be read");
        return DecodeReleaseManifest(*bytes).Serial;
    } catch (const TManifestError& e) {
        if (floorGiven) {
            std::fprintf(stderr, "aurevia-publish: warning: the present manifest is replaced unread (%s)\n",
                         e.what());
            return std::nullopt;
        }
        throw PublishError(
            ExitStatus::Failed,
            "The folder's present manifest " + manifestFile.string() + " cannot be read (" + e.what() +
                "). Its serial is unknown; to sign anyway give --min-serial N with N above every "
                "serial ever published for this folder");
    }
}

uint64_t NextSerial(std::optional<uint64_t> present, int64_t now, std::optional<uint64_t> floor) {
    // Grows with every signing even when the clock went back; the clock keeps it above serials
    // of a folder whose manifest was lost.
    uint64_t serial = now > 0 ? static_cast<uint64_t>(now) : 0;
    if (present) {
        if (*present == std::numeric_limits<uint64_t>::max())
            throw PublishError(ExitStatus::Failed,
                               "The present manifest's serial is the largest there is; no "
                               "later manifest can be signed for this folder");
        serial = std::max(serial, *present + 1);
    }
    return std::max(serial, floor.value_or(0));
}

}  // namespace

void RunSign(const SignOptions& options) {
    std::error_code error;
    if (!fs::is_directory(options.folder, error))
        throw PublishError(ExitStatus::NoFolder, "No folder " + options.folder.string() + " to sign");
    const Key key = ReadPrivateKey(options.key);
    // Kept in the folder, the private key would be listed, signed and served to every workstation.
    if (IsInsideFolder(options.folder, options.key))
        throw PublishError(ExitStatus::Failed,
                           "The private key " + options.key.string() +
                               " lies inside the folder to sign, where it would be served; "
                               "move it out of the folder");
    const UniqueFd lock = LockFolder(options.folder);
    struct stat keyInfo {};
    if (::stat(options.key.c_str(), &keyInfo) == 0 && (keyInfo.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        std::fprintf(stderr,
                     "aurevia-publish: warning: other users than its owner may read the private key %s\n",
                     options.key.c_str());
    const fs::path manifestFile = options.folder / kManifestFileName;
    const fs::path signatureFile = options.folder / kManifestSignatureFileName;
    const std::optional<uint64_t> present = PresentSerial(manifestFile, options.minSerial.has_value());

    TReleaseManifest manifest;
    manifest.Files = ListFolderFiles(options.folder);
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    manifest.Serial = NextSerial(present, now, options.minSerial);
    manifest.ExpiresUnix = now + options.validDays * kSecondsPerDay;

    std::string bytes;
    try {
        bytes = EncodeReleaseManifest(manifest);
        // What the launcher would refuse to read is not signed (a name it cannot take, two names
        // that differ only in letter case).
        DecodeReleaseManifest(bytes);
    } catch (const TManifestError& e) {
        throw PublishError(ExitStatus::Failed, std::string("The folder cannot be signed: ") + e.what());
    }
    const RawSignature signature = Sign(key.get(), bytes);
    const Key publicKey = PublicKeyFrom(PublicPointOf(key.get()));
    if (!Verifies(publicKey.get(), bytes,
                  std::string_view(reinterpret_cast<const char*>(signature.data()), signature.size())))
        throw PublishError(ExitStatus::Failed, "The new signature does not verify; nothing was replaced");

    StagedFile stagedSignature(
        options.folder, std::string_view(reinterpret_cast<const char*>(signature.data()), signature.size()),
        kPublishedMode);
    StagedFile stagedManifest(options.folder, bytes, kPublishedMode);
    stagedSignature.ReplaceInto(signatureFile);
    stagedManifest.ReplaceInto(manifestFile);
    SyncFolder(options.folder);
    std::printf("Signed %zu files in %s: serial %llu, expires %s\n", manifest.Files.size(),
                options.folder.c_str(), static_cast<unsigned long long>(manifest.Serial),
                UtcText(manifest.ExpiresUnix).c_str());
}

}  // namespace publish
