#pragma once
// A signed document travels with its signature: both made and checked in memory, then written
// together, so that a reader never finds one without the other or beside another's. Documents that
// are replaced (the rollout document, the flat manifest) go into the next live generation
// (live_generation.h) and switch in one rename; documents that are written once and never replaced
// (a release) are created signature first, then the document under a name that must be free.
#include <openssl/evp.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace publish {

struct SignedDocument {
    std::filesystem::path Name;           // relative to the server folder, e.g. "aurevia-rollout.json"
    std::filesystem::path SignatureName;  // e.g. "aurevia-rollout.sig"
    std::string Bytes;
    std::string Signature;  // 64 bytes, r then s
};

// Signs the bytes and checks that the signature verifies with the key's public half. The signature
// goes under the document's name with the extension `.sig`.
SignedDocument SignDocument(const std::filesystem::path& name, std::string bytes, EVP_PKEY* key);

// Writes a document that is never replaced: the signature first, then the document, which must not
// exist yet (PublishError(Failed) when it does). The caller syncs the folder.
void CreateSignedDocument(const std::filesystem::path& server, const SignedDocument& document);

}  // namespace publish
