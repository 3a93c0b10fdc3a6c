#include "update/trust/certified_judgement.h"

#include <utility>

#include "update/trust/document_text.h"
#include "update/trust/root_rules.h"

namespace {

std::string InRoot(const TRootDocument& ARoot) {
    return " (raiz versão " + std::to_string(ARoot.Version) + ")";
}

template <class TDocument>
TJudged<TDocument> Refused(TRefusal ARefusal, std::string ADetail) {
    TJudged<TDocument> judged;
    judged.Refusal = ARefusal;
    judged.Detail = std::move(ADetail);
    return judged;
}

// The key the document claims, read without trusting it: only to name it in a refusal.
template <class TDecode>
std::string ClaimedKey(std::string_view ADocument, TDecode ADecode) {
    try {
        const std::string key = ADecode(ADocument).Key;
        return key.empty() ? "nenhuma" : key;
    } catch (...) {
        return "ilegível";
    }
}

// Which of the root's signing keys made ASignature; nullptr when none did. Every key the root lists
// is tried whatever its role or window, so that the refusal says what is wrong with the signer.
const TSigningKey* Signer(const TRootDocument& ARoot, std::string_view ADocument,
                          std::string_view ASignature) {
    for (const TSigningKey& key : ARoot.SigningKeys) {
        try {
            if (TPublisherKey(EncodePublisherKey(key.Point)).Verifies(ADocument, ASignature)) return &key;
        } catch (const std::exception&) {
            // A point CNG refuses verifies nothing.
        }
    }
    return nullptr;
}

template <class TDocument, class TDecode, class TJudge>
TJudged<TDocument> Certified(const TRootDocument& ARoot, TKeyRole ARole, std::string_view ADocument,
                             std::string_view ASignature, int64_t ANowUnix, std::string_view ADeployment,
                             TDecode ADecode, TJudge AJudge) {
    const TSigningKey* signer = Signer(ARoot, ADocument, ASignature);
    if (!signer)
        return Refused<TDocument>(TRefusal::BadSignature, "chave " + ClaimedKey(ADocument, ADecode) +
                                                              " não certificada" + InRoot(ARoot));
    const TKeyJudged key = JudgeSigningKey(ARoot, signer->Id, ARole, ANowUnix);
    if (!key.Accepted())
        return Refused<TDocument>(
            key.Refusal == TKeyRefusal::RootExpired ? TRefusal::Expired : TRefusal::BadSignature,
            "chave " + document_text::HexOf(signer->Id) + ": " + KeyRefusalText(key.Refusal) + InRoot(ARoot));
    TJudged<TDocument> judged = AJudge(TPublisherKey(EncodePublisherKey(signer->Point)));
    if (!judged.Accepted()) return judged;
    const std::string id = document_text::HexOf(signer->Id);
    if (judged.Document.Key != id)
        return Refused<TDocument>(TRefusal::BadSignature,
                                  "assinado pela chave " + id + ", o documento nomeia " +
                                      (judged.Document.Key.empty() ? "nenhuma" : judged.Document.Key) +
                                      InRoot(ARoot));
    if (judged.Document.Product != ARoot.Product)
        return Refused<TDocument>(TRefusal::BadSignature, "produto \"" + judged.Document.Product +
                                                              "\", a raiz é de \"" + ARoot.Product + "\"" +
                                                              InRoot(ARoot));
    const std::string& deployment = judged.Document.Deployment;
    if (deployment.empty())
        return Refused<TDocument>(TRefusal::BadSignature,
                                  "o documento não nomeia a implantação" + InRoot(ARoot));
    if (!ADeployment.empty() && deployment != ADeployment)
        return Refused<TDocument>(TRefusal::BadSignature,
                                  "implantação \"" + deployment + "\", esta estação é da implantação \"" +
                                      std::string(ADeployment) + "\"" + InRoot(ARoot));
    return judged;
}

}  // namespace

TJudged<TReleaseManifest> JudgeCertifiedManifest(const TRootDocument& ARoot, std::string_view ADocument,
                                                 std::string_view ASignature, int64_t ANowUnix,
                                                 std::optional<TAcceptedSigning> AAccepted,
                                                 std::string_view ADeployment) {
    return Certified<TReleaseManifest>(ARoot, TKeyRole::Manifest, ADocument, ASignature, ANowUnix,
                                       ADeployment, DecodeReleaseManifest, [&](const TPublisherKey& AKey) {
                                           return JudgeSignedManifest(AKey, ADocument, ASignature, ANowUnix,
                                                                      AAccepted);
                                       });
}

TJudged<TRollout> JudgeCertifiedRollout(const TRootDocument& ARoot, std::string_view ADocument,
                                        std::string_view ASignature, int64_t ANowUnix,
                                        std::optional<TAcceptedSigning> AAccepted,
                                        std::string_view ADeployment) {
    return Certified<TRollout>(ARoot, TKeyRole::Rollout, ADocument, ASignature, ANowUnix, ADeployment,
                               DecodeRollout, [&](const TPublisherKey& AKey) {
                                   return JudgeSignedRollout(AKey, ADocument, ASignature, ANowUnix,
                                                             AAccepted);
                               });
}

TJudged<TRelease> JudgeCertifiedRelease(const TRootDocument& ARoot, std::string_view ADocument,
                                        std::string_view ASignature, uint64_t AAssigned, int64_t ANowUnix,
                                        std::optional<TSha256> APin, std::string_view ADeployment) {
    return Certified<TRelease>(ARoot, TKeyRole::Manifest, ADocument, ASignature, ANowUnix, ADeployment,
                               DecodeRelease, [&](const TPublisherKey& AKey) {
                                   return JudgeSignedRelease(AKey, ADocument, ASignature, AAssigned, APin);
                               });
}
