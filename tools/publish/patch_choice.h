#pragma once
// Which patches a release's file gets when it is published: one from every version of the file that
// a workstation is likely to hold (what some ring takes, as its release or its previous one, and
// what the last few releases held), kept only when it saves most of the compressed object. A
// workstation that holds none of them fetches the whole object, as before.
#include <openssl/evp.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "update/trust/release_documents.h"

namespace publish {

struct PatchOptions {
    unsigned depth = 2;  // the last N releases give sources too
    double ratio = 0.5;  // a patch is kept only when smaller than this share of the deflated file; 0: none
};
inline constexpr unsigned kMostPatchDepth = 16;

// The versions (SHA-256) of the file `name` that a new content gets patches from: those the releases
// that rings take name, then those of the last `depth` releases; never the new content itself, each
// once, at most kMostPatchesPerFile. Names are compared as a workstation does (letter case aside).
std::vector<TSha256> PatchSources(const std::string& name, const TSha256& newSha256,
                                  const std::map<uint64_t, TRelease>& releases,
                                  const std::vector<uint64_t>& ringReleases, unsigned depth);

struct MadePatch {
    TFilePatch Entry;
    std::string Bytes;  // empty: the object is on the server already
};

// The patches worth keeping that make `newContent` from the sources' stored objects. A patch an
// earlier release lists for the same two ends, whose object is present, is taken as it is; a source
// whose object is missing or damaged is passed over with a warning.
std::vector<MadePatch> MakePatches(const std::filesystem::path& server, const std::string& newContent,
                                   const TSha256& newSha256, const std::vector<TSha256>& sources,
                                   const std::map<uint64_t, TRelease>& releases, const PatchOptions& options);

// Gives each file of `release` (whose contents lie at `contents`, in the same order) its patches from
// the releases the server keeps that verify with the key, and the rollout document's rings. Returns
// the patches whose objects are still to be stored.
std::vector<MadePatch> AttachPatches(const std::filesystem::path& server, EVP_PKEY* publicKey,
                                     TRelease& release, const std::vector<std::filesystem::path>& contents,
                                     const PatchOptions& options);

}  // namespace publish
