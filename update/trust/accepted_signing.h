#pragma once
// What this installation accepted of one kind of signed document, as trust weighs a newer one
// against it: the highest serial, and the SHA-256 of the bytes accepted under it. A serial alone
// lets two documents signed under one number (a staging server and production sharing a key, a
// signing repeated with other content) both pass; the bytes tell them apart. Portable.
#include <cstdint>
#include <optional>

#include "update/trust/manifest_rules.h"
#include "update/trust/release_manifest.h"

struct TAcceptedSigning {
    uint64_t Serial = 0;
    // None when the serial was remembered without its bytes (by a launcher before the state file).
    std::optional<TSha256> Sha256;

    TAcceptedSigning() = default;
    // A serial alone, as earlier launchers kept it.
    TAcceptedSigning(uint64_t ASerial, std::optional<TSha256> ASha256 = std::nullopt)  // NOLINT: implicit
        : Serial(ASerial), Sha256(ASha256) {}
};

// A signed, unexpired document of serial ASerial whose bytes hash to ASha256, against what was
// accepted: a lower serial is a rollback (OlderRelease); the same serial with other bytes than the
// ones accepted is ReplacedDocument; the same bytes again, or a higher serial, pass.
TRefusal JudgeSerial(uint64_t ASerial, const TSha256& ASha256,
                     const std::optional<TAcceptedSigning>& AAccepted);
