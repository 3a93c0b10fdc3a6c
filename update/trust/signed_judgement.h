#pragma once
// Trust's decisions on signed documents: the bytes, the key, the time and the highest serial this
// installation accepted before go in, a decision comes out. Nothing here reads a file, the registry
// or a source, so every rule can be tried on bytes alone (update/plan/ fetches, update/state/
// remembers).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "update/trust/accepted_signing.h"
#include "update/trust/manifest_rules.h"
#include "update/trust/publisher_key.h"
#include "update/trust/release_documents.h"

// A document accepted, or why not.
template <class TDocument>
struct TJudged {
    TRefusal Refusal = TRefusal::None;
    std::string Detail;    // UTF-8, shown after the reason when not empty
    TDocument Document{};  // the accepted document; empty when refused
    TSha256 Sha256{};      // of the accepted document's bytes, for the state to remember beside its serial

    bool Accepted() const { return Refusal == TRefusal::None; }
};

// The flat folder's manifest: the signature, then the text, its expiry at ANowUnix (seconds since
// 1970, UTC) and its serial and bytes against what was accepted (JudgeSerial: the same serial
// passes only with the same bytes).
TJudged<TReleaseManifest> JudgeSignedManifest(const TPublisherKey& AKey, std::string_view ADocument,
                                              std::string_view ASignature, int64_t ANowUnix,
                                              std::optional<TAcceptedSigning> AAccepted);

// The rollout document, by the same rules as the manifest.
TJudged<TRollout> JudgeSignedRollout(const TPublisherKey& AKey, std::string_view ADocument,
                                     std::string_view ASignature, int64_t ANowUnix,
                                     std::optional<TAcceptedSigning> AAccepted);

// The release a rollout document assigned: the bytes against the rollout document's pin of it (when
// it pins one), the signature, the text, and that it is the release AAssigned (another signed
// release served under the assigned name would install what the ring was not given).
TJudged<TRelease> JudgeSignedRelease(const TPublisherKey& AKey, std::string_view ADocument,
                                     std::string_view ASignature, uint64_t AAssigned,
                                     std::optional<TSha256> APin = std::nullopt);
