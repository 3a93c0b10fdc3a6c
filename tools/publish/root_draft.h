#pragma once
// A root draft: the next root version, unsigned at first, in a folder of its own that travels to
// each offline machine holding a root key and back:
//   DRAFT/root.json          the document, exactly the bytes that will be published
//   DRAFT/root.sig           the signatures gathered so far, one line each (root_document.h)
//   DRAFT/previous.json      the version in force when the draft was made (absent for version 1):
//                            its root keys must sign too
//   DRAFT/publisher-key.pub  for a first version that workstations trusting one publisher key
//                            accept: that key must sign too
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "update/trust/root_document.h"

namespace publish {

struct RootDraft {
    std::string Bytes;
    TRootDocument Root;
    std::vector<TRootSignature> Signatures;
    std::optional<TRootDocument> Previous;
    std::optional<TPublicPoint> PublisherKey;
    std::string SignatureText() const { return EncodeRootSignatures(Signatures); }
};

// Raises PublishError(Failed) for a draft folder that cannot be read or holds something malformed.
RootDraft ReadRootDraft(const std::filesystem::path& draft);

// Creates the draft folder, which must not exist; nothing is left of it when this fails.
void WriteNewRootDraft(const std::filesystem::path& draft, const RootDraft& content,
                       const std::optional<std::string>& previousBytes,
                       const std::optional<std::string>& publisherKeyText);

// Replaces the draft's signature file (staged, flushed, renamed).
void WriteRootDraftSignatures(const std::filesystem::path& draft, const RootDraft& content);

}  // namespace publish
