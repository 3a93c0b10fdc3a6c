#include "update/trust/root_rules.h"

#include <algorithm>

#include "update/trust/document_text.h"

namespace {

TRootJudged Refused(TRootRefusal ARefusal, std::string ADetail) {
    TRootJudged judged;
    judged.Refusal = ARefusal;
    judged.Detail = std::move(ADetail);
    return judged;
}

std::string Version(uint64_t AVersion) { return "root version " + std::to_string(AVersion); }

// The distinct keys of AKeys whose signature over ABytes is among ASignatures. A key id repeated
// in the file counts once, however many of its lines verify.
size_t DistinctSigners(const ISignatureCheck& ACheck, const std::vector<TRootKey>& AKeys,
                       std::string_view ABytes, const std::vector<TRootSignature>& ASignatures) {
    size_t signers = 0;
    for (const TRootKey& key : AKeys) {
        const bool signedByKey =
            std::any_of(ASignatures.begin(), ASignatures.end(), [&](const TRootSignature& s) {
                return s.KeyId == key.Id && ACheck.Verifies(key.Point, ABytes, s.Signature);
            });
        if (signedByKey) ++signers;
    }
    return signers;
}

struct TDecoded {
    TRootJudged Judged;
    std::vector<TRootSignature> Signatures;
};

// The bounds, both texts, and that every key id is its key's hash: a document whose ids lie could
// have one key counted twice toward a threshold under two names.
TDecoded Decoded(const ISignatureCheck& ACheck, const TRootVersionBytes& AVersion) {
    TDecoded decoded;
    if (AVersion.Document.size() > kMostRootDocumentSize ||
        AVersion.Signatures.size() > kMostRootSignaturesSize) {
        decoded.Judged = Refused(TRootRefusal::TooLarge, "the root document or its signatures are too large");
        return decoded;
    }
    try {
        decoded.Signatures = DecodeRootSignatures(AVersion.Signatures);
        decoded.Judged.Root = DecodeRootDocument(AVersion.Document);
    } catch (const std::exception& e) {
        decoded.Judged = Refused(TRootRefusal::Malformed, e.what());
        return decoded;
    }
    const TRootDocument& root = decoded.Judged.Root;
    auto lies = [&](const TKeyId& AId, const TPublicPoint& APoint) { return KeyIdOf(ACheck, APoint) != AId; };
    for (const TRootKey& key : root.RootKeys) {
        if (lies(key.Id, key.Point))
            decoded.Judged = Refused(TRootRefusal::Malformed, "root key id " + document_text::HexOf(key.Id) +
                                                                  " is not its key's hash");
    }
    for (const TSigningKey& key : root.SigningKeys) {
        if (lies(key.Id, key.Point))
            decoded.Judged =
                Refused(TRootRefusal::Malformed,
                        "signing key id " + document_text::HexOf(key.Id) + " is not its key's hash");
    }
    return decoded;
}

TRootJudged OwnThreshold(const ISignatureCheck& ACheck, TDecoded ADecoded, std::string_view ABytes) {
    const TRootDocument& root = ADecoded.Judged.Root;
    const size_t own = DistinctSigners(ACheck, root.RootKeys, ABytes, ADecoded.Signatures);
    if (own < root.Threshold)
        return Refused(TRootRefusal::OwnThreshold, Version(root.Version) + " is signed by " +
                                                       std::to_string(own) + " of its own root keys, " +
                                                       std::to_string(root.Threshold) + " needed");
    return std::move(ADecoded.Judged);
}

}  // namespace

TKeyId KeyIdOf(const ISignatureCheck& ACheck, const TPublicPoint& APoint) {
    return ACheck.Sha256(SubjectPublicKeyInfoOf(APoint));
}

TRootJudged JudgeAnchoredRoot(const ISignatureCheck& ACheck, const TSha256& AAnchor,
                              const TRootVersionBytes& AVersion) {
    if (AVersion.Document.size() <= kMostRootDocumentSize && ACheck.Sha256(AVersion.Document) != AAnchor)
        return Refused(TRootRefusal::AnchorMismatch,
                       "the root document's SHA-256 is not " + document_text::HexOf(AAnchor));
    TDecoded decoded = Decoded(ACheck, AVersion);
    if (!decoded.Judged.Accepted()) return std::move(decoded.Judged);
    return OwnThreshold(ACheck, std::move(decoded), AVersion.Document);
}

TRootJudged JudgeRootSignedByKey(const ISignatureCheck& ACheck, const TPublicPoint& AKey,
                                 const TRootVersionBytes& AVersion) {
    TDecoded decoded = Decoded(ACheck, AVersion);
    if (!decoded.Judged.Accepted()) return std::move(decoded.Judged);
    const std::vector<TRootKey> key{{KeyIdOf(ACheck, AKey), AKey}};
    if (DistinctSigners(ACheck, key, AVersion.Document, decoded.Signatures) == 0)
        return Refused(TRootRefusal::OldThreshold, Version(decoded.Judged.Root.Version) +
                                                       " is not signed by the publisher key " +
                                                       document_text::HexOf(key.front().Id));
    return OwnThreshold(ACheck, std::move(decoded), AVersion.Document);
}

TRootJudged JudgeNextRoot(const ISignatureCheck& ACheck, const TRootDocument& AInForce,
                          const TRootVersionBytes& AVersion) {
    TDecoded decoded = Decoded(ACheck, AVersion);
    if (!decoded.Judged.Accepted()) return std::move(decoded.Judged);
    const TRootDocument& next = decoded.Judged.Root;
    if (next.Product != AInForce.Product)
        return Refused(TRootRefusal::WrongProduct, Version(next.Version) + " is for the product " +
                                                       document_text::Shown(next.Product) + ", not " +
                                                       document_text::Shown(AInForce.Product));
    if (next.Version <= AInForce.Version)
        return Refused(TRootRefusal::Replayed, Version(next.Version) + " offered after " +
                                                   Version(AInForce.Version) + " was accepted");
    if (next.Version != AInForce.Version + 1)
        return Refused(TRootRefusal::SkippedVersion,
                       Version(next.Version) + " offered after " + Version(AInForce.Version));
    const size_t old = DistinctSigners(ACheck, AInForce.RootKeys, AVersion.Document, decoded.Signatures);
    if (old < AInForce.Threshold)
        return Refused(TRootRefusal::OldThreshold, Version(next.Version) + " is signed by " +
                                                       std::to_string(old) + " root keys of version " +
                                                       std::to_string(AInForce.Version) + ", " +
                                                       std::to_string(AInForce.Threshold) + " needed");
    if (next.Epoch < AInForce.Epoch)
        return Refused(TRootRefusal::EpochLowered, Version(next.Version) + " lowers the serial epoch from " +
                                                       std::to_string(AInForce.Epoch) + " to " +
                                                       std::to_string(next.Epoch));
    return OwnThreshold(ACheck, std::move(decoded), AVersion.Document);
}

TRootJudged JudgeRootChain(const ISignatureCheck& ACheck, const TRootDocument& AInForce,
                           const std::vector<TRootVersionBytes>& ANext, int64_t ANowUnix) {
    if (ANext.size() > kMostRootVersionsPerUpdate)
        return Refused(TRootRefusal::ChainTooLong,
                       std::to_string(ANext.size()) + " root versions offered, at most " +
                           std::to_string(kMostRootVersionsPerUpdate) + " per update");
    TRootJudged newest;
    newest.Root = AInForce;
    for (const TRootVersionBytes& version : ANext) {
        TRootJudged next = JudgeNextRoot(ACheck, newest.Root, version);
        if (!next.Accepted()) return next;
        newest = std::move(next);
    }
    if (ANowUnix > newest.Root.ExpiresUnix)
        return Refused(TRootRefusal::Expired,
                       Version(newest.Root.Version) + " expired at " +
                           document_text::UtcInstantText(newest.Root.ExpiresUnix, "The root's expiry"));
    return newest;
}

TKeyJudged JudgeSigningKey(const TRootDocument& ARoot, const TKeyId& AKeyId, TKeyRole ARole,
                           int64_t ANowUnix) {
    TKeyJudged judged;
    const std::string id = "key " + document_text::HexOf(AKeyId);
    const std::string version = " (root version " + std::to_string(ARoot.Version) + ")";
    auto refuse = [&](TKeyRefusal ARefusal, std::string ADetail) {
        judged.Refusal = ARefusal;
        judged.Detail = std::move(ADetail) + version;
        return judged;
    };
    if (ANowUnix > ARoot.ExpiresUnix) return refuse(TKeyRefusal::RootExpired, "the root has expired");
    const auto found = std::find_if(ARoot.SigningKeys.begin(), ARoot.SigningKeys.end(),
                                    [&](const TSigningKey& key) { return key.Id == AKeyId; });
    if (found == ARoot.SigningKeys.end()) return refuse(TKeyRefusal::NotCertified, id + " is not certified");
    if (!found->Has(ARole))
        return refuse(TKeyRefusal::WrongRole, id + " is certified for " + RoleNames(found->Roles) + " only");
    if (ANowUnix < found->NotBeforeUnix) return refuse(TKeyRefusal::NotYetValid, id + " is not valid yet");
    if (ANowUnix > found->NotAfterUnix)
        return refuse(TKeyRefusal::PastNotAfter, id + " is past its not_after");
    judged.Key = &*found;
    return judged;
}

std::optional<uint64_t> HighestUnderEpoch(const TRootDocument& ARoot, uint64_t AAcceptedEpoch,
                                          std::optional<uint64_t> AHighest) {
    if (ARoot.Epoch > AAcceptedEpoch) return ARoot.SerialFloor;
    return AHighest;
}

const char* RootRefusalText(TRootRefusal ARefusal) {
    switch (ARefusal) {
        case TRootRefusal::None:
            return "accepted";
        case TRootRefusal::TooLarge:
            return "root too large";
        case TRootRefusal::Malformed:
            return "root malformed";
        case TRootRefusal::AnchorMismatch:
            return "root is not the anchor";
        case TRootRefusal::WrongProduct:
            return "root of another product";
        case TRootRefusal::Replayed:
            return "root version replayed";
        case TRootRefusal::SkippedVersion:
            return "root version skipped";
        case TRootRefusal::OldThreshold:
            return "root not signed by the previous root keys";
        case TRootRefusal::OwnThreshold:
            return "root not signed by its own root keys";
        case TRootRefusal::EpochLowered:
            return "root lowers the serial epoch";
        case TRootRefusal::ChainTooLong:
            return "root chain too long";
        case TRootRefusal::Expired:
            return "root expired";
    }
    return "root refused";
}

const char* KeyRefusalText(TKeyRefusal ARefusal) {
    switch (ARefusal) {
        case TKeyRefusal::None:
            return "certified";
        case TKeyRefusal::NotCertified:
            return "key not certified";
        case TKeyRefusal::WrongRole:
            return "key not certified for this role";
        case TKeyRefusal::NotYetValid:
            return "key not valid yet";
        case TKeyRefusal::PastNotAfter:
            return "key past its not_after";
        case TKeyRefusal::RootExpired:
            return "root expired";
    }
    return "key refused";
}
