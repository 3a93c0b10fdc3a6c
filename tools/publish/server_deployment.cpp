#include "tools/publish/server_deployment.h"

#include <openssl/rand.h>
#include <sys/stat.h>

#include <cstdio>

#include "tools/publish/durable_file.h"
#include "tools/publish/key_file.h"
#include "tools/publish/publish_error.h"
#include "update/trust/document_text.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

constexpr mode_t kKeptMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;
// The name and its line end, with room for an editor's trailing blanks.
constexpr size_t kMostDeploymentFileSize = 256;

std::string MadeUpName() {
    unsigned char random[6];
    if (RAND_bytes(random, sizeof random) != 1)
        throw PublishError(ExitStatus::Failed, "No random bytes for a deployment name");
    std::string name(kMadeUpDeploymentPrefix);
    char hex[3];
    for (const unsigned char byte : random) {
        std::snprintf(hex, sizeof hex, "%02x", byte);
        name += hex;
    }
    return name;
}

}  // namespace

std::optional<std::string> KeptDeployment(const fs::path& server) {
    const fs::path file = server / std::string(kDeploymentFileName);
    std::error_code error;
    if (!fs::exists(fs::symlink_status(file, error))) return std::nullopt;
    std::string text = ReadRegularFile(file, "deployment file", ExitStatus::Failed, kMostDeploymentFileSize);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    if (!document_text::IsNameText(text))
        throw PublishError(ExitStatus::Failed,
                           file.string() +
                               " holds no deployment name (1 to 64 characters of A-Z, a-z, "
                               "0-9, '.', '_' and '-')");
    return text;
}

std::optional<FolderDeployment> DeploymentOf(const fs::path& server, std::string_view named, bool makeUp) {
    if (!named.empty() && !document_text::IsNameText(named))
        throw PublishError(ExitStatus::Usage, "The deployment " + document_text::Shown(named) +
                                                  " is not 1 to 64 characters of A-Z, a-z, 0-9, '.', '_' "
                                                  "and '-'");
    if (const std::optional<std::string> kept = KeptDeployment(server)) {
        if (!named.empty() && named != *kept)
            throw PublishError(ExitStatus::Usage,
                               "The server folder " + server.string() + " publishes for the deployment " +
                                   *kept + ", not " + std::string(named) +
                                   "; workstations that took its documents are bound to " + *kept);
        return FolderDeployment{*kept, false};
    }
    if (!named.empty()) return FolderDeployment{std::string(named), true};
    if (makeUp) return FolderDeployment{MadeUpName(), true};
    return std::nullopt;
}

void KeepDeployment(const fs::path& server, const FolderDeployment& deployment) {
    if (!deployment.New) return;
    const fs::path file = server / std::string(kDeploymentFileName);
    {
        const UniqueFd fd = CreateNewFile(file, kKeptMode);
        WriteAllAndSync(fd.Get(), deployment.Name + "\n", file);
    }
    SyncFolder(server);
    // On standard error, like the warnings: scripts read the commands' standard output.
    std::fprintf(stderr,
                 "aurevia-publish: the server folder %s publishes for the deployment %s from now on "
                 "(Implantacao=%s on its workstations)\n",
                 server.c_str(), deployment.Name.c_str(), deployment.Name.c_str());
}

}  // namespace publish
