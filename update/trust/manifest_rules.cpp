#include "update/trust/manifest_rules.h"

#include <algorithm>
#include <cstdio>

#include "base/date_time.h"
#include "base/string_convert.h"

TRefusal JudgeFreshness(int64_t AExpiresUnix, uint64_t ASerial, int64_t ANowUnix,
                        std::optional<uint64_t> AHighestAccepted) {
    if (ANowUnix > AExpiresUnix) return TRefusal::Expired;
    if (AHighestAccepted && ASerial < *AHighestAccepted) return TRefusal::OlderRelease;
    return TRefusal::None;
}

TRefusal JudgeManifest(const TReleaseManifest& AManifest, int64_t ANowUnix,
                       std::optional<uint64_t> AHighestAccepted) {
    return JudgeFreshness(AManifest.ExpiresUnix, AManifest.Serial, ANowUnix, AHighestAccepted);
}

namespace {

const wchar_t* ReasonText(TRefusal ARefusal) {
    switch (ARefusal) {
        case TRefusal::MissingManifest:
            return L"manifesto ausente";
        case TRefusal::InvalidKey:
            return L"chave pública inválida em Aurevia.ini";
        case TRefusal::BadSignature:
            return L"assinatura inválida";
        case TRefusal::MalformedManifest:
            return L"manifesto ilegível";
        case TRefusal::Expired:
            return L"manifesto expirado";
        case TRefusal::OlderRelease:
            return L"versão mais antiga que a já aceita";
        case TRefusal::ReplacedDocument:
            return L"documento diferente do já aceito com a mesma série";
        case TRefusal::UnpinnedRelease:
            return L"versão diferente da fixada pela distribuição";
        case TRefusal::None:
            break;
    }
    return L"";
}

}  // namespace

std::wstring RefusalReason(const TVerificationReport& AReport) {
    std::wstring text;
    if (AReport.Refusal != TRefusal::None) {
        text = ReasonText(AReport.Refusal);
        if (!AReport.Detail.empty()) text += L" (" + Utf8ToWide(AReport.Detail) + L")";
    } else if (!AReport.AlteredFiles.empty()) {
        std::vector<std::wstring> names = AReport.AlteredFiles;
        std::sort(names.begin(), names.end());
        text = L"arquivo alterado: ";
        for (size_t i = 0; i < names.size(); ++i) text += (i ? L", " : L"") + names[i];
    }
    return text;
}

std::wstring VerificationMessage(const TVerificationReport& AReport) {
    if (AReport.Clean()) return {};
    // A refused release fetched nothing; altered files were each kept as they were.
    return L"Atualização recusada: " + RefusalReason(AReport) +
           (AReport.Refusal != TRefusal::None ? L".\r\nNenhum arquivo foi atualizado."
                                              : L".\r\nEsses arquivos não foram substituídos.");
}

std::string UtcText(int64_t AUnix) {
    // Whole seconds are exact in a date-time value: days since 1899-12-30, 25569 days before 1970.
    const DateTimeParts p = DecodeDateTime(static_cast<double>(AUnix) / 86400.0 + 25569.0);
    char text[48];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d UTC", p.year, p.month, p.day, p.hour,
                  p.minute, p.second);
    return text;
}
