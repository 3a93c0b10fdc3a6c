#pragma once
// Release control on the workstation: which signed release of the server this workstation takes.
// Opt-in twice over: only with a publisher key, and only when the server holds a rollout document
// (aurevia-rollout.json, see update/trust/release_documents.h). Runs on the UI thread before the
// updater lists anything, and in the self-update and the support tools.
#include <optional>
#include <string>

#include "update/trust/manifest_acceptance.h"
#include "update/trust/release_documents.h"
#include "update/trust/rollout_state.h"

class IUpdateSource;

struct TRolloutAcceptance {
    TRefusal Refusal = TRefusal::None;
    std::string Detail;
    // The release to install, verified; empty when refused or when the server holds no rollout
    // document that places this workstation (then the flat folder and its manifest apply, as
    // without release control).
    std::optional<TRelease> Release;
    TRolloutState State;

    bool Accepted() const { return Refusal == TRefusal::None; }
    bool RolloutMode() const { return Release.has_value(); }
};

// Reads and verifies the rollout document (signature with the publisher key, expiry, serial not
// below the highest accepted one), takes the release that the workstation's ring and rollout number
// assign (a ring the document does not name follows "geral"), then reads and verifies that release
// (signature, and the serial it was assigned under). A workstation that has accepted a rollout
// document once refuses a server without one: hiding the document must not bring back the flat
// folder's older files. The accepted rollout serial is stored only once the release verified too.
TRolloutAcceptance AcceptRollout(const TUpdateVerification& AVerification, IUpdateSource& ASource);

// The workstation's rollout number (0..99) in a ring for a release, hashed with CNG.
unsigned WorkstationRolloutNumber(const std::string& AMachine, const std::string& ARing, uint64_t ARelease);

// The name under which a source serves a release file's content: "aurevia-objects\ab\ab12...".
std::wstring ObjectName(const TReleaseFile& AFile);

// The release's entry for a file name (ASCII letter case ignored, as the launcher compares names).
const TReleaseFile* FindReleaseFile(const TRelease& ARelease, std::string_view AName);

// A release file as the content check sees it.
TManifestFile ExpectedContent(const TReleaseFile& AFile);

// The machine value that rollout numbers are derived from: HKLM\SOFTWARE\Microsoft\Cryptography
// "MachineGuid" (the 64-bit view), or the computer name when that is absent.
std::string MachineRolloutValue();
