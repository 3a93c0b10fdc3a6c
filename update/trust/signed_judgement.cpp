#include "update/trust/signed_judgement.h"

#include <utility>

#include "update/trust/cng.h"
#include "update/trust/document_text.h"

namespace {

// Enough of a SHA-256 to tell two documents apart by eye in a message and the IT log.
std::string ShortHex(const TSha256& AHash) { return document_text::HexOf(AHash).substr(0, 16); }

template <class TDocument>
TJudged<TDocument> Refused(TRefusal ARefusal, std::string ADetail = {}) {
    TJudged<TDocument> judged;
    judged.Refusal = ARefusal;
    judged.Detail = std::move(ADetail);
    return judged;
}

// The signature first: nothing of an unsigned text is read.
template <class TDocument, class TDecode>
TJudged<TDocument> Decoded(const TPublisherKey& AKey, std::string_view ADocument, std::string_view ASignature,
                           TDecode ADecode) {
    if (!AKey.Verifies(ADocument, ASignature)) return Refused<TDocument>(TRefusal::BadSignature);
    TJudged<TDocument> judged;
    judged.Sha256 = Sha256Of(ADocument);
    try {
        judged.Document = ADecode(ADocument);
    } catch (const std::exception& e) {
        return Refused<TDocument>(TRefusal::MalformedManifest, e.what());
    }
    return judged;
}

template <class TDocument>
TJudged<TDocument> Fresh(TJudged<TDocument> AJudged, int64_t ANowUnix,
                         const std::optional<TAcceptedSigning>& AAccepted) {
    if (!AJudged.Accepted()) return AJudged;
    const TDocument& document = AJudged.Document;
    if (ANowUnix > document.ExpiresUnix)
        return Refused<TDocument>(TRefusal::Expired, "expirou em " + UtcText(document.ExpiresUnix));
    const TRefusal refusal = JudgeSerial(document.Serial, AJudged.Sha256, AAccepted);
    if (refusal == TRefusal::OlderRelease)
        return Refused<TDocument>(refusal, "série " + std::to_string(document.Serial) +
                                               ", já aceita a série " + std::to_string(AAccepted->Serial));
    if (refusal == TRefusal::ReplacedDocument)
        return Refused<TDocument>(refusal, "série " + std::to_string(document.Serial) + ", SHA-256 " +
                                               ShortHex(AJudged.Sha256) + ", aceito " +
                                               ShortHex(*AAccepted->Sha256));
    return AJudged;
}

}  // namespace

TJudged<TReleaseManifest> JudgeSignedManifest(const TPublisherKey& AKey, std::string_view ADocument,
                                              std::string_view ASignature, int64_t ANowUnix,
                                              std::optional<TAcceptedSigning> AAccepted) {
    return Fresh(Decoded<TReleaseManifest>(AKey, ADocument, ASignature, DecodeReleaseManifest), ANowUnix,
                 AAccepted);
}

TJudged<TRollout> JudgeSignedRollout(const TPublisherKey& AKey, std::string_view ADocument,
                                     std::string_view ASignature, int64_t ANowUnix,
                                     std::optional<TAcceptedSigning> AAccepted) {
    return Fresh(Decoded<TRollout>(AKey, ADocument, ASignature, DecodeRollout), ANowUnix, AAccepted);
}

TJudged<TRelease> JudgeSignedRelease(const TPublisherKey& AKey, std::string_view ADocument,
                                     std::string_view ASignature, uint64_t AAssigned,
                                     std::optional<TSha256> APin) {
    // Before the signature: the pin is signed already, and other bytes are refused whoever signed them.
    if (APin) {
        const TSha256 served = Sha256Of(ADocument);
        if (served != *APin)
            return Refused<TRelease>(TRefusal::UnpinnedRelease, "versão " + std::to_string(AAssigned) +
                                                                    ", SHA-256 " + ShortHex(served) +
                                                                    ", fixado " + ShortHex(*APin));
    }
    TJudged<TRelease> judged = Decoded<TRelease>(AKey, ADocument, ASignature, DecodeRelease);
    if (judged.Accepted() && judged.Document.Serial != AAssigned)
        return Refused<TRelease>(TRefusal::MalformedManifest,
                                 "versão " + std::to_string(judged.Document.Serial) + " servida como " +
                                     std::to_string(AAssigned));
    return judged;
}
