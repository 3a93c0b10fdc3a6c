#pragma once
// The chain rules of the trust root: which next version of the root a workstation (or the
// publisher, before it writes one) accepts, which signing key the root in force certifies for a
// role at an instant, and what a new serial epoch does to the highest accepted serials. Bytes,
// the root in force and the time go in, a decision comes out; nothing here reads a file or the
// clock. The signatures are checked through ISignatureCheck, so that the launcher checks them with
// CNG and the publisher's tool with OpenSSL.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "update/trust/root_document.h"

// How many versions one update may walk from the root it holds: a server that offers more (an
// endless chain) is refused rather than followed.
inline constexpr size_t kMostRootVersionsPerUpdate = 32;

class ISignatureCheck {
  public:
    virtual ~ISignatureCheck() = default;
    virtual TSha256 Sha256(std::string_view ABytes) const = 0;
    // True only when ASignature is 64 bytes (r then s) that verify over ABytes with the key.
    virtual bool Verifies(const TPublicPoint& AKey, std::string_view ABytes,
                          std::string_view ASignature) const = 0;
};

enum class TRootRefusal {
    None,
    TooLarge,        // a document or signature file past its bound
    Malformed,       // not a root document or signature file, or a key id that is not its key's hash
    AnchorMismatch,  // the first document is not the one the workstation was anchored to
    WrongProduct,    // another product's root
    Replayed,        // a version not above the one in force
    SkippedVersion,  // a version more than one above the one in force
    OldThreshold,    // too few distinct root keys of the version in force signed it
    OwnThreshold,    // too few distinct root keys of its own signed it
    EpochLowered,    // a serial epoch below the one in force
    ChainTooLong,    // more versions than one update walks
    Expired,         // the newest root has expired
};

struct TRootJudged {
    TRootRefusal Refusal = TRootRefusal::None;
    std::string Detail;  // English, for the IT log and the publisher's messages
    TRootDocument Root;  // the accepted root; empty when refused

    bool Accepted() const { return Refusal == TRootRefusal::None; }
};

// One version as a server holds it.
struct TRootVersionBytes {
    std::string Document;
    std::string Signatures;
};

TKeyId KeyIdOf(const ISignatureCheck& ACheck, const TPublicPoint& APoint);

// The root a workstation starts from: the document whose SHA-256 is AAnchor, signed by a threshold
// of its own root keys.
TRootJudged JudgeAnchoredRoot(const ISignatureCheck& ACheck, const TSha256& AAnchor,
                              const TRootVersionBytes& AVersion);

// The root a workstation that trusts one publisher key (no anchor yet) moves to: signed by that key
// and by a threshold of its own root keys.
TRootJudged JudgeRootSignedByKey(const ISignatureCheck& ACheck, const TPublicPoint& AKey,
                                 const TRootVersionBytes& AVersion);

// The version after AInForce: the same product, exactly one version above, signed by a threshold of
// distinct keys of AInForce's root keys and by a threshold of its own, its epoch not lowered. An
// intermediate version may have expired; only the newest must not have (JudgeRootChain).
TRootJudged JudgeNextRoot(const ISignatureCheck& ACheck, const TRootDocument& AInForce,
                          const TRootVersionBytes& AVersion);

// Every version after AInForce in order, then the newest's expiry at ANowUnix. More than
// kMostRootVersionsPerUpdate versions are refused before any is read. The refusal names the version
// that failed in its detail.
TRootJudged JudgeRootChain(const ISignatureCheck& ACheck, const TRootDocument& AInForce,
                           const std::vector<TRootVersionBytes>& ANext, int64_t ANowUnix);

enum class TKeyRefusal {
    None,
    NotCertified,  // not among the root's signing keys (never certified, or revoked by a later version)
    WrongRole,
    NotYetValid,
    PastNotAfter,
    RootExpired,
};

struct TKeyJudged {
    TKeyRefusal Refusal = TKeyRefusal::None;
    std::string Detail;
    const TSigningKey* Key = nullptr;  // into the root handed in; nullptr when refused

    bool Accepted() const { return Refusal == TKeyRefusal::None; }
};

// Whether ARoot certifies the key AKeyId for ARole at ANowUnix (its window holds both ends).
TKeyJudged JudgeSigningKey(const TRootDocument& ARoot, const TKeyId& AKeyId, TKeyRole ARole,
                           int64_t ANowUnix);

// The highest serial a workstation holds once ARoot is in force: a root whose epoch is above the
// one the serials were accepted under resets them to its floor (a stolen key's serial 2^62 stops
// freezing the ring once that key is revoked); otherwise AHighest stands.
std::optional<uint64_t> HighestUnderEpoch(const TRootDocument& ARoot, uint64_t AAcceptedEpoch,
                                          std::optional<uint64_t> AHighest);

// "key not certified", "root version skipped"...: the reason's words, for messages and the IT log.
const char* RootRefusalText(TRootRefusal ARefusal);
const char* KeyRefusalText(TKeyRefusal ARefusal);
