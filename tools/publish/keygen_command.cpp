#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "tools/publish/commands.h"
#include "tools/publish/durable_file.h"
#include "tools/publish/publisher_key.h"
#include "update/trust/release_manifest.h"

namespace fs = std::filesystem;

namespace publish {

void RunKeygen(const fs::path& folder) {
    std::error_code error;
    if (!fs::is_directory(folder, error))
        throw PublishError(ExitStatus::NoFolder, "No folder " + folder.string() + " to write the key into");
    const fs::path privateFile = folder / kPrivateKeyFileName, publicFile = folder / kPublicKeyFileName;
    if (fs::exists(fs::symlink_status(publicFile, error)))
        throw PublishError(ExitStatus::Failed,
                           publicFile.string() + " already exists; it is not overwritten");

    const Key key = GenerateKey();
    const std::string publicText = EncodePublisherKey(PublicPointOf(key.get()));
    // Owner-only from the moment it exists: created with that mode, never widened and narrowed.
    UniqueFd privateFd = CreateNewFile(privateFile, S_IRUSR | S_IWUSR);
    try {
        WritePrivateKeyPem(key.get(), privateFd.Get());
        WriteAllAndSync(privateFd.Get(), {}, privateFile);
        privateFd.Reset();
        const UniqueFd publicFd = CreateNewFile(publicFile, S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
        WriteAllAndSync(publicFd.Get(), publicText + "\n", publicFile);
        SyncFolder(folder);
    } catch (...) {
        ::unlink(privateFile.c_str());  // no private key without its public half
        throw;
    }
    std::printf("%s\n", publicText.c_str());
    std::fflush(stdout);
    std::fprintf(stderr,
                 "aurevia-publish: wrote %s (keep it off the server and back it up) and %s (the line above,\n"
                 "for [Seguranca] Chave Publica in Aurevia.ini)\n",
                 privateFile.c_str(), publicFile.c_str());
}

}  // namespace publish
