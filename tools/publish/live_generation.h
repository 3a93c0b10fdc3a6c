#pragma once
// The documents and flat files that the publisher replaces, switched all at once.
//
// Readers (the launcher, the file service, a share) read fixed names at the server's root:
// aurevia-rollout.json and .sig, aurevia-manifest.json and .sig, the flat files. Each of those names
// is a symbolic link through one link that names the live generation:
//   SERVER/aurevia-rollout.json            -> aurevia-releases/live/aurevia-rollout.json
//   SERVER/Relatorio/Rpt.rav               -> ../aurevia-releases/live/Relatorio/Rpt.rav
//   SERVER/aurevia-releases/live           -> gen-42
//   SERVER/aurevia-releases/gen-42/...     every such document and file, never changed once live
// A command builds the next generation in a temporary folder (what it keeps of the live one as hard
// links), renames it to gen-<N>, and renames a new "live" link over the old one: that one rename
// makes every document, its signature and every flat file of the new generation visible together.
// Killed at any moment, the server shows the old generation or the new one, never a mix. The
// generation before the live one is kept for readers that resolved a name just before the switch.
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/publish/signed_document.h"
#include "update/trust/release_manifest.h"

namespace publish {

inline constexpr char kLiveLinkName[] = "live";
inline constexpr char kGenerationPrefix[] = "gen-";

// The folder of the live generation; nullopt when the server has none yet.
std::optional<std::filesystem::path> LiveGenerationFolder(const std::filesystem::path& server);

// Whether an entry at the server's root (or below) is one of the links into the live generation.
bool IsLiveLink(const std::filesystem::path& server, const std::filesystem::path& entry);

// Removes every generation but the live one and the one before it (a reader may have resolved a
// name through it just before the switch), also those of commands stopped before their switch.
// Returns how many went.
size_t TrimGenerations(const std::filesystem::path& server);

// The next generation, staged until Commit; discarded (and the links it made taken back) otherwise.
// Used under the server's lock only.
class NextGeneration {
  public:
    explicit NextGeneration(std::filesystem::path server);
    NextGeneration(const NextGeneration&) = delete;
    NextGeneration& operator=(const NextGeneration&) = delete;
    ~NextGeneration();

    // A signed document and its signature, under their names relative to the server.
    void Put(const SignedDocument& document);
    // A copy of `source`, which must hold `sha256`, with that last-write time, under `name`
    // (relative to the server, forward slashes).
    void PutCopy(const std::filesystem::path& name, const std::filesystem::path& source,
                 const TSha256& sha256, int64_t ageUnix);
    // Makes the generation live; everything it did not get is kept from the live one.
    void Commit();

  private:
    void Stage(const std::filesystem::path& name);
    void LinkAtRoot(const std::filesystem::path& name);
    std::filesystem::path EnsureLiveGeneration();
    void CarryOver(const std::filesystem::path& live);

    std::filesystem::path server_, releases_, staging_;
    std::set<std::filesystem::path> names_;
    std::vector<std::filesystem::path> madeLinks_, madeFolders_;
    bool committed_ = false;
};

}  // namespace publish
