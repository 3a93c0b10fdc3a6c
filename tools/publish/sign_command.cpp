// Signing a folder: its flat manifest made and checked in full before anything visible changes,
// then switched in with its signature in one rename (live_generation.h).
#include <sys/stat.h>

#include <cstdio>
#include <ctime>

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

namespace fs = std::filesystem;

namespace publish {

void RefuseKeyInside(const fs::path& folder, const fs::path& key, const char* what) {
    // Kept in the folder, the private key would be listed, signed and served to every workstation.
    if (IsInsideFolder(folder, key))
        throw PublishError(ExitStatus::Failed, "The private key " + key.string() +
                                                   " lies inside the folder " + what +
                                                   ", where it would be served; move it out of the folder");
    struct stat keyInfo {};
    if (::stat(key.c_str(), &keyInfo) == 0 && (keyInfo.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        std::fprintf(stderr,
                     "aurevia-publish: warning: other users than its owner may read the private key %s\n",
                     key.c_str());
}

void RunSign(const SignOptions& options) {
    std::error_code error;
    if (!fs::is_directory(options.folder, error))
        throw PublishError(ExitStatus::NoFolder, "No folder " + options.folder.string() + " to sign");
    const Key key = ReadPrivateKey(options.key);
    RefuseKeyInside(options.folder, options.key, "to sign");
    const UniqueFd lock = LockFolder(options.folder);
    SweepLeftovers(options.folder);

    const std::vector<FolderFile> entries = ListFolderEntries(options.folder);
    RefuseSecrets(entries, options.key);
    std::vector<TManifestFile> files;
    files.reserve(entries.size());
    for (const auto& entry : entries) files.push_back(entry.File);
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const std::optional<SignerNaming> signer =
        CertifiedSigner(options.folder, key.get(), TKeyRole::Manifest, now, options.deployment);
    const SignedManifest signedManifest = PrepareFlatManifest(
        options.folder, std::move(files), key.get(), now, options.validDays, options.minSerial, signer);
    const Key publicKey = PublicKeyFrom(PublicPointOf(key.get()));
    CheckClock(now, signedManifest.Manifest.ExpiresUnix, EvidenceOf(options.folder, publicKey.get()),
               options.force);
    KeepSignerDeployment(options.folder, signer, options.deployment);
    NextGeneration generation(options.folder);
    generation.Put(signedManifest.Document);
    generation.Commit();
    std::printf("Signed %zu files in %s: serial %llu, expires %s\n", signedManifest.Manifest.Files.size(),
                options.folder.c_str(), static_cast<unsigned long long>(signedManifest.Manifest.Serial),
                UtcText(Instant{signedManifest.Manifest.ExpiresUnix}).c_str());
}

}  // namespace publish
