#include "update/trust/signed_judgement.h"

#include <utility>

namespace {

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
    try {
        judged.Document = ADecode(ADocument);
    } catch (const std::exception& e) {
        return Refused<TDocument>(TRefusal::MalformedManifest, e.what());
    }
    return judged;
}

template <class TDocument>
TJudged<TDocument> Fresh(TJudged<TDocument> AJudged, int64_t ANowUnix, std::optional<uint64_t> AHighest) {
    if (!AJudged.Accepted()) return AJudged;
    const TDocument& document = AJudged.Document;
    const TRefusal refusal = JudgeFreshness(document.ExpiresUnix, document.Serial, ANowUnix, AHighest);
    if (refusal == TRefusal::Expired)
        return Refused<TDocument>(refusal, "expirou em " + UtcText(document.ExpiresUnix));
    if (refusal == TRefusal::OlderRelease)
        return Refused<TDocument>(refusal, "série " + std::to_string(document.Serial) +
                                               ", já aceita a série " + std::to_string(*AHighest));
    return AJudged;
}

}  // namespace

TJudged<TReleaseManifest> JudgeSignedManifest(const TPublisherKey& AKey, std::string_view ADocument,
                                              std::string_view ASignature, int64_t ANowUnix,
                                              std::optional<uint64_t> AHighest) {
    return Fresh(Decoded<TReleaseManifest>(AKey, ADocument, ASignature, DecodeReleaseManifest), ANowUnix,
                 AHighest);
}

TJudged<TRollout> JudgeSignedRollout(const TPublisherKey& AKey, std::string_view ADocument,
                                     std::string_view ASignature, int64_t ANowUnix,
                                     std::optional<uint64_t> AHighest) {
    return Fresh(Decoded<TRollout>(AKey, ADocument, ASignature, DecodeRollout), ANowUnix, AHighest);
}

TJudged<TRelease> JudgeSignedRelease(const TPublisherKey& AKey, std::string_view ADocument,
                                     std::string_view ASignature, uint64_t AAssigned) {
    TJudged<TRelease> judged = Decoded<TRelease>(AKey, ADocument, ASignature, DecodeRelease);
    if (judged.Accepted() && judged.Document.Serial != AAssigned)
        return Refused<TRelease>(TRefusal::MalformedManifest,
                                 "versão " + std::to_string(judged.Document.Serial) + " servida como " +
                                     std::to_string(AAssigned));
    return judged;
}
