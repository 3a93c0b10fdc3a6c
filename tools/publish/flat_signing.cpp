#include "tools/publish/flat_signing.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <limits>

#include "tools/publish/durable_file.h"
#include "tools/publish/publish_error.h"
#include "tools/publish/publisher_key.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

constexpr int64_t kSecondsPerDay = 86'400;

// The serial of the manifest that the folder holds now; nullopt when it has none. One that cannot
// be read stops the signing (its serial may be the highest ever published, and a lower one would
// be refused by every workstation) unless the operator names a floor for the new serial.
std::optional<uint64_t> PresentSerial(const fs::path& folder, EVP_PKEY* publicKey, bool floorGiven) {
    const fs::path manifestFile = folder / kManifestFileName;
    std::error_code error;
    if (!fs::exists(fs::symlink_status(manifestFile, error))) return std::nullopt;
    const std::optional<std::string> bytes = ReadWholeFile(manifestFile);
    try {
        if (!bytes) throw TManifestError("the file cannot be read");
        const uint64_t serial = DecodeReleaseManifest(*bytes).Serial;
        const std::optional<std::string> signature = ReadWholeFile(folder / kManifestSignatureFileName);
        if (!signature || !Verifies(publicKey, *bytes, *signature)) {
            std::fprintf(stderr,
                         "aurevia-publish: warning: the present manifest does not verify with this key; its "
                         "serial (%llu) is ignored\n",
                         static_cast<unsigned long long>(serial));
            return std::nullopt;
        }
        return serial;
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

SignedManifest PrepareFlatManifest(const fs::path& folder, std::vector<TManifestFile> files, EVP_PKEY* key,
                                   int64_t now, int validDays, std::optional<uint64_t> minSerial,
                                   const std::optional<SignerNaming>& signer) {
    const Key publicKey = PublicKeyFrom(PublicPointOf(key));
    const std::optional<uint64_t> present = PresentSerial(folder, publicKey.get(), minSerial.has_value());
    SignedManifest result;
    result.Manifest.Files = std::move(files);
    result.Manifest.Serial = NextSerial(present, now, minSerial);
    result.Manifest.ExpiresUnix = now + validDays * kSecondsPerDay;
    if (signer) signer->Into(result.Manifest);
    std::string bytes;
    try {
        bytes = EncodeReleaseManifest(result.Manifest);
        // What the launcher would refuse to read is not signed (a name it cannot take, two names
        // that differ only in letter case).
        DecodeReleaseManifest(bytes);
    } catch (const TManifestError& e) {
        throw PublishError(ExitStatus::Failed, std::string("The folder cannot be signed: ") + e.what());
    }
    result.Document = SignDocument(std::string(kManifestFileName), std::move(bytes), key);
    return result;
}

}  // namespace publish
