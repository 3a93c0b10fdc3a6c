#include <gtest/gtest.h>

#include "update/trust/accepted_signing.h"

namespace {

TSha256 Bytes(uint8_t fill) {
    TSha256 hash{};
    hash.fill(fill);
    return hash;
}

// What a signed, unexpired document may still be refused for: its serial and bytes against the
// installation's accepted ones.
TEST(AcceptedSigning, RefusesALowerSerialAndOtherBytesUnderTheAcceptedSerial) {
    const struct {
        const char* what;
        uint64_t serial;
        TSha256 bytes;
        std::optional<TAcceptedSigning> accepted;
        TRefusal refusal;
    } cases[] = {
        {"nothing accepted", 5, Bytes(1), std::nullopt, TRefusal::None},
        {"higher serial", 6, Bytes(2), TAcceptedSigning(5, Bytes(1)), TRefusal::None},
        {"same bytes again", 5, Bytes(1), TAcceptedSigning(5, Bytes(1)), TRefusal::None},
        {"same serial, other bytes", 5, Bytes(2), TAcceptedSigning(5, Bytes(1)), TRefusal::ReplacedDocument},
        {"lower serial", 4, Bytes(1), TAcceptedSigning(5, Bytes(1)), TRefusal::OlderRelease},
        {"lower serial, serial alone", 4, Bytes(1), TAcceptedSigning(5), TRefusal::OlderRelease},
        // Migrated from a launcher that kept no bytes: the serial's first bytes are taken.
        {"same serial, bytes unknown", 5, Bytes(2), TAcceptedSigning(5), TRefusal::None},
        {"serial 0 accepted", 0, Bytes(2), TAcceptedSigning(0, Bytes(1)), TRefusal::ReplacedDocument},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(JudgeSerial(c.serial, c.bytes, c.accepted), c.refusal);
    }
}

// The one message of an update names the new refusals in the user's words, detail after.
TEST(AcceptedSigning, NewRefusalsHaveTheirOwnReason) {
    TVerificationReport report;
    report.Refusal = TRefusal::ReplacedDocument;
    report.Detail = "série 5";
    EXPECT_EQ(VerificationMessage(report),
              L"Atualização recusada: documento diferente do já aceito com a mesma série (série 5).\r\n"
              L"Nenhum arquivo foi atualizado.");
    report.Refusal = TRefusal::UnpinnedRelease;
    report.Detail.clear();
    EXPECT_EQ(VerificationMessage(report),
              L"Atualização recusada: versão diferente da fixada pela distribuição.\r\nNenhum arquivo foi "
              L"atualizado.");
}

}  // namespace
