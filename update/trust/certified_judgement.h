#pragma once
// Signed documents judged under the trust root in force instead of one configured key: the document
// must be signed by a signing key the root certifies for the document's role (manifest: the flat
// manifest and releases; rollout: the rollout document), within that key's window, with the root
// unexpired, and it must name that key and the root's product. Then the same rules as with one key
// (signed_judgement.h). The refusal's detail names the key and the root version, for the IT log.
#include <cstdint>
#include <optional>
#include <string_view>

#include "update/trust/root_document.h"
#include "update/trust/signed_judgement.h"

TJudged<TReleaseManifest> JudgeCertifiedManifest(const TRootDocument& ARoot, std::string_view ADocument,
                                                 std::string_view ASignature, int64_t ANowUnix,
                                                 std::optional<TAcceptedSigning> AAccepted);

TJudged<TRollout> JudgeCertifiedRollout(const TRootDocument& ARoot, std::string_view ADocument,
                                        std::string_view ASignature, int64_t ANowUnix,
                                        std::optional<TAcceptedSigning> AAccepted);

TJudged<TRelease> JudgeCertifiedRelease(const TRootDocument& ARoot, std::string_view ADocument,
                                        std::string_view ASignature, uint64_t AAssigned, int64_t ANowUnix,
                                        std::optional<TSha256> APin = std::nullopt);
