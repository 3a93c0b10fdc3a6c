#pragma once
// The decisions of a verified update that need no platform: whether a manifest whose signature held
// may still be accepted on this workstation, and the one message that tells the user why an update
// (or part of it) was refused. Portable (no <windows.h>).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "update/trust/release_manifest.h"
#include "update/trust/rollout_state.h"

enum class TRefusal {
    None,
    MissingManifest,    // the manifest or its signature could not be obtained
    InvalidKey,         // the key of Aurevia.ini cannot be read or imported: nothing can be trusted
    BadSignature,       // the signature does not verify with the configured key
    MalformedManifest,  // signed, but not a manifest this launcher can read
    Expired,
    OlderRelease,  // a lower serial than one this workstation accepted before (a rollback)
    // The serial this workstation accepted, with other bytes: one of two documents signed under one
    // serial, the other of which was taken before.
    ReplacedDocument,
    // A release whose document is not the one the rollout document pinned for it.
    UnpinnedRelease,
};

// The freshness rules for a manifest whose signature verified: refused once `nowUnix` lies past its
// expiry, or when its serial is below `highestAccepted`. An equal serial is the same release served
// again and passes.
TRefusal JudgeManifest(const TReleaseManifest& AManifest, int64_t ANowUnix,
                       std::optional<uint64_t> AHighestAccepted);
// The same rules for any signed document that expires and numbers its signings.
TRefusal JudgeFreshness(int64_t AExpiresUnix, uint64_t ASerial, int64_t ANowUnix,
                        std::optional<uint64_t> AHighestAccepted);

// What verification made of one update, handed to its completion.
struct TVerificationReport {
    TRefusal Refusal = TRefusal::None;
    std::string Detail;                      // UTF-8, shown after the reason when not empty
    std::vector<std::wstring> AlteredFiles;  // fetched files whose content the manifest did not vouch for
    TRolloutState Rollout;                   // where release control placed the workstation

    bool Clean() const { return Refusal == TRefusal::None && AlteredFiles.empty(); }
};

// The reason in Portuguese, detail included: "assinatura inválida", "manifesto expirado (expirou em
// ...)", "arquivo alterado: a, b". Empty when the report is clean.
std::wstring RefusalReason(const TVerificationReport& AReport);

// The one message an update shows; empty when the report is clean.
std::wstring VerificationMessage(const TVerificationReport& AReport);

// "2027-01-09 14:00:00 UTC", for the details.
std::string UtcText(int64_t AUnix);
