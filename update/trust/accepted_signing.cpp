#include "update/trust/accepted_signing.h"

TRefusal JudgeSerial(uint64_t ASerial, const TSha256& ASha256,
                     const std::optional<TAcceptedSigning>& AAccepted) {
    if (!AAccepted) return TRefusal::None;
    if (ASerial < AAccepted->Serial) return TRefusal::OlderRelease;
    if (ASerial == AAccepted->Serial && AAccepted->Sha256 && *AAccepted->Sha256 != ASha256)
        return TRefusal::ReplacedDocument;
    return TRefusal::None;
}
