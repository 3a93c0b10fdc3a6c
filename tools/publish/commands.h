#pragma once
// The commands of aurevia-publish. Each raises PublishError for a failure; what they print
// on success goes to standard output.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/publish/patch_choice.h"
#include "tools/publish/publish_error.h"

namespace publish {

inline constexpr char kPrivateKeyFileName[] = "publisher-key.pem";
inline constexpr char kPublicKeyFileName[] = "publisher-key.pub";

// Writes a new key pair into an existing folder; never replaces a key that is there.
void RunKeygen(const std::filesystem::path& folder);

struct SignOptions {
    std::filesystem::path folder, key;
    int validDays = 30;
    std::optional<uint64_t> minSerial;  // also lets signing go on over a manifest that cannot be read
    bool force = false;                 // signs even with a clock behind the folder's last signing
    std::string deployment;             // the folder's deployment, when it has none yet (server_deployment.h)
};
void RunSign(const SignOptions& options);

// Refuses a private key that lies inside `folder` (by path) and warns when others may read it.
void RefuseKeyInside(const std::filesystem::path& folder, const std::filesystem::path& key, const char* what);

// Stores a folder's files as objects on the server (those not there yet) and writes a new signed
// release of them; prints its serial. What workstations take does not change.
struct PublishOptions {
    std::filesystem::path from, server, key;
    std::string note;
    bool force = false;  // publishes even with a clock behind the server's last signing
    PatchOptions patches;
    std::string deployment;  // the server's deployment, when it has none yet (server_deployment.h)
};
void RunPublish(const PublishOptions& options);

// Writes a new signed rollout document in which `ring` takes `release` for `percent` % of its
// workstations and its previous release for the rest; with `flat`, also lays the release's files
// and a signed flat manifest into the flat folder. With `stage`, the ring keeps what it takes and
// its entry names that release as staged instead (`release`, `percent` and `flat` unused).
struct RolloutOptions {
    std::filesystem::path server, key;
    std::string ring;
    uint64_t release = 0;
    unsigned percent = 100;
    int validDays = 30;
    bool flat = false;
    bool force = false;  // signs even with a clock behind the server's last signing
    bool adopt = false;  // keeps the rings of a present document that does not verify with the key
    std::optional<uint64_t> stage;
    std::string deployment;  // the server's deployment, when it has none yet (server_deployment.h)
};
void RunRollout(const RolloutOptions& options);

// Prints the rings, releases and objects of a server folder. With a public key, checks the signature
// of every document it lists and returns BadSignature when one does not verify. With a fleet service's
// URL, also prints per ring that stages a release how many of its workstations hold it (a service
// that cannot be reached is said so, and changes nothing else).
ExitStatus RunStatus(const std::filesystem::path& server, const std::optional<std::string>& publicKey,
                     const std::optional<std::string>& fleetUrl = std::nullopt);

// Removes the releases beyond the last `keep` that no ring refers to, then the objects that no
// remaining release refers to.
void RunPrune(const std::filesystem::path& server, uint64_t keep);

// `root draft|sign|publish|status ...` (the arguments after "root"): the trust root's versions.
void RunRoot(const std::vector<std::string_view>& arguments);

// Prints every difference between the folder and its manifest; returns Ok, Expired or Mismatch.
ExitStatus RunVerify(const std::filesystem::path& folder, const std::string& publicKey);

}  // namespace publish
