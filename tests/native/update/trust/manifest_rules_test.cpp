// The decisions of verified updates that need no platform: when a signed manifest is still accepted,
// and what the user reads when it is not.
#include <gtest/gtest.h>

#include "update/trust/manifest_rules.h"

namespace {

constexpr int64_t kExpires = 1800000000;  // 2027-01-15 08:00:00 UTC

TEST(JudgeManifest, ExpiryAndSerialDecideOnceTheSignatureHeld) {
    struct Case {
        const char* why;
        int64_t now;
        uint64_t serial;
        std::optional<uint64_t> highest;
        TRefusal expected;
    };
    const Case cases[] = {
        {"fresh, nothing accepted before", kExpires - 86400, 1, std::nullopt, TRefusal::None},
        {"the expiry instant itself", kExpires, 1, std::nullopt, TRefusal::None},
        {"one second past the expiry", kExpires + 1, 1, std::nullopt, TRefusal::Expired},
        {"a newer serial", kExpires - 1, 8, 7, TRefusal::None},
        {"the same release again", kExpires - 1, 7, 7, TRefusal::None},
        {"an older serial (rollback)", kExpires - 1, 6, 7, TRefusal::OlderRelease},
        {"a serial of zero after the largest", kExpires - 1, 0, UINT64_MAX, TRefusal::OlderRelease},
        {"expired and older: expiry is named", kExpires + 1, 6, 7, TRefusal::Expired},
    };
    for (const Case& c : cases) {
        const TReleaseManifest manifest{c.serial, kExpires, {}};
        EXPECT_EQ(JudgeManifest(manifest, c.now, c.highest), c.expected) << c.why;
    }
}

TEST(VerificationMessage, OneMessageSaysTheUpdateWasRefusedAndWhy) {
    struct Case {
        TVerificationReport report;
        std::wstring expected;
    };
    const Case cases[] = {
        {{TRefusal::None, "", {}, {}}, L""},
        {{TRefusal::BadSignature, "", {}, {}},
         L"Atualização recusada: assinatura inválida.\r\nNenhum arquivo foi atualizado."},
        {{TRefusal::Expired, "expirou em 2027-01-15 08:00:00 UTC", {}, {}},
         L"Atualização recusada: manifesto expirado (expirou em 2027-01-15 08:00:00 UTC).\r\n"
         L"Nenhum arquivo foi atualizado."},
        {{TRefusal::OlderRelease, "série 3, já aceita a série 5", {}, {}},
         L"Atualização recusada: versão mais antiga que a já aceita (série 3, já aceita a série 5).\r\n"
         L"Nenhum arquivo foi atualizado."},
        {{TRefusal::MissingManifest, "aurevia-manifest.sig: Not Found", {}, {}},
         L"Atualização recusada: manifesto ausente (aurevia-manifest.sig: Not Found).\r\n"
         L"Nenhum arquivo foi atualizado."},
        {{TRefusal::InvalidKey, "", {}, {}},
         L"Atualização recusada: chave pública inválida em Aurevia.ini.\r\nNenhum arquivo foi atualizado."},
        {{TRefusal::None, "", {L"gds32.dll", L"Admission.exe"}, {}},
         L"Atualização recusada: arquivo alterado: Admission.exe, gds32.dll.\r\n"
         L"Esses arquivos não foram substituídos."},
    };
    for (const Case& c : cases) EXPECT_EQ(VerificationMessage(c.report), c.expected);
}

TEST(UtcText, WritesTheInstantInUtc) {
    EXPECT_EQ(UtcText(0), "1970-01-01 00:00:00 UTC");
    EXPECT_EQ(UtcText(kExpires), "2027-01-15 08:00:00 UTC");
    EXPECT_EQ(UtcText(951782400), "2000-02-29 00:00:00 UTC");
}

}  // namespace
