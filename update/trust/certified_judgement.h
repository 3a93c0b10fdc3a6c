#pragma once
// Signed documents judged under the trust root in force instead of one configured key: the document
// must be signed by a signing key the root certifies for the document's role (manifest: the flat
// manifest and releases; rollout: the rollout document), within that key's window, with the root
// unexpired, and it must name that key, the root's product and a deployment: ADeployment when one is
// given (the workstation's, or the one the documents it accepted before named), any otherwise (the
// caller then keeps the one accepted). A document that names no deployment is refused like one that
// names no product: under a root every publisher names both, and a document bound to no deployment
// is exactly one that can be carried from one server folder into another that shares the keys (a
// release never expires). Then the same rules as with one key (signed_judgement.h). The refusal's
// detail names the key and the root version, for the IT log.
#include <cstdint>
#include <optional>
#include <string_view>

#include "update/trust/root_document.h"
#include "update/trust/signed_judgement.h"

TJudged<TReleaseManifest> JudgeCertifiedManifest(const TRootDocument& ARoot, std::string_view ADocument,
                                                 std::string_view ASignature, int64_t ANowUnix,
                                                 std::optional<TAcceptedSigning> AAccepted,
                                                 std::string_view ADeployment = {});

TJudged<TRollout> JudgeCertifiedRollout(const TRootDocument& ARoot, std::string_view ADocument,
                                        std::string_view ASignature, int64_t ANowUnix,
                                        std::optional<TAcceptedSigning> AAccepted,
                                        std::string_view ADeployment = {});

TJudged<TRelease> JudgeCertifiedRelease(const TRootDocument& ARoot, std::string_view ADocument,
                                        std::string_view ASignature, uint64_t AAssigned, int64_t ANowUnix,
                                        std::optional<TSha256> APin = std::nullopt,
                                        std::string_view ADeployment = {});
