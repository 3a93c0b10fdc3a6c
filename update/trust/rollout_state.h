#pragma once
// Where release control placed this workstation at its last update, for the IT log and the fleet
// report. Portable (no <windows.h>).
#include <cstdint>
#include <optional>
#include <string>

struct TRolloutState {
    // The ring of Aurevia.ini ("geral" when none is set); empty when updates are not verified.
    std::wstring Ring;
    // The workstation's rollout number (0..99) for the release being rolled out to its ring; empty
    // when no rollout document assigned a release.
    std::optional<unsigned> Number;
    // The serial of the rollout document accepted for the update.
    std::optional<uint64_t> RolloutSerial;
    // The release the update took.
    std::optional<uint64_t> Release;

    // Whether the update followed a rollout document (as opposed to the flat folder).
    bool RolloutMode() const { return Release.has_value(); }
};
