// Signing a folder: its flat manifest made and checked in full before anything visible changes
// (flat_signing.h tells in which order it is put in place).
#include <sys/stat.h>

#include <cstdio>

#include "common/instant.h"
#include "tools/publish/commands.h"
#include "tools/publish/durable_file.h"
#include "tools/publish/flat_signing.h"
#include "tools/publish/folder_files.h"
#include "tools/publish/publisher_key.h"

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

    const std::vector<FolderFile> entries = ListFolderEntries(options.folder);
    RefuseSecrets(entries, options.key);
    std::vector<TManifestFile> files;
    for (const auto& entry : entries) files.push_back(entry.File);
    const SignedManifest signedManifest = PrepareFlatManifest(options.folder, std::move(files), key.get(),
                                                              options.validDays, options.minSerial);
    PlaceFlatManifest(options.folder, signedManifest);
    SyncFolder(options.folder);
    std::printf("Signed %zu files in %s: serial %llu, expires %s\n", signedManifest.Manifest.Files.size(),
                options.folder.c_str(), static_cast<unsigned long long>(signedManifest.Manifest.Serial),
                UtcText(Instant{signedManifest.Manifest.ExpiresUnix}).c_str());
}

}  // namespace publish
