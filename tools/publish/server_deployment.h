#pragma once
// The deployment a server folder publishes for: the name that every document signed for it under a
// trust root carries ("deployment"), so that a workstation of one deployment refuses what was
// signed for another that shares the keys and the product (a staging server's release copied into
// production's folder). Kept in the folder as kDeploymentFileName, one line with the name.
//
// A folder gets its name once: from --deployment, or else, at its first signing under a root, a
// made-up one ("deployment-" and 12 random hex digits) that the command prints. From then on the
// name is the folder's; --deployment with another name is refused, since the workstations that
// took the folder's documents are bound to the name they saw.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace publish {

inline constexpr std::string_view kDeploymentFileName = "aurevia-deployment";
inline constexpr std::string_view kMadeUpDeploymentPrefix = "deployment-";

struct FolderDeployment {
    std::string Name;
    bool New = false;  // not kept in the folder yet (KeepDeployment writes it)
};

// The folder's deployment: the one kept there; else `named`; else, with `makeUp`, a new random
// one; else nullopt. Raises PublishError: Usage for a `named` that is not 1 to 64 characters of
// A-Z, a-z, 0-9, '.', '_' and '-', or that differs from the one kept; Failed for a kept file that
// cannot be read or holds no such name.
std::optional<FolderDeployment> DeploymentOf(const std::filesystem::path& server, std::string_view named,
                                             bool makeUp);

// The name as kept; nullopt when the folder has none yet.
std::optional<std::string> KeptDeployment(const std::filesystem::path& server);

// Writes a new deployment's file (created exclusively, flushed, the folder synced) and names it on
// standard error; nothing for one kept already. Called under the folder's lock, before the documents that
// name it are switched in, so that no document names a deployment the folder does not keep.
void KeepDeployment(const std::filesystem::path& server, const FolderDeployment& deployment);

}  // namespace publish
