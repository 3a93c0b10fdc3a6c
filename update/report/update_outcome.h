#pragma once
// What one files update came to, told to whoever watches the workstation from outside: the launcher
// connects the fleet view's sender (launcher/fleet/fleet_update_observer.h). The update core knows
// nothing of where an outcome goes.
#include <cstdint>
#include <memory>
#include <string>

#include "base/error.h"
#include "update/trust/rollout_state.h"

enum class TUpdateResult { Ok, Failed, Refused };

struct TUpdateOutcome {
    // The module's executable; empty for the start-up refresh of the shared files.
    std::wstring Module;
    TUpdateResult Result = TUpdateResult::Ok;
    // Why, when not Ok: the failure that ended the update before any fetch, the first failed fetch
    // (its text led by the file's name), or the release check's refusal; an update that fetched
    // content that is not the signed one is Altered, whichever fetch failed first.
    TFailureInfo Failure;
    uint64_t FilesListed = 0;  // the files the server listed
    uint64_t FilesFetched = 0;
    uint64_t FilesFailed = 0;
    uint64_t Bytes = 0;
    // Of the files fetched, those made from a binary patch and those inflated from a deflated object;
    // and every body byte that crossed the wire (what the release cost the link).
    uint64_t FilesPatched = 0;
    uint64_t FilesDeflated = 0;
    uint64_t WireBytes = 0;
    // Of Bytes, those taken from the workstation's store (fetched earlier, in the background).
    uint64_t StoreBytes = 0;
    uint64_t DurationMs = 0;
    // Where release control placed the workstation.
    TRolloutState Rollout;
};

class IUpdateOutcomeObserver {
  public:
    virtual ~IUpdateOutcomeObserver() = default;
    // Once per update as it ends, on the UI thread: returns at once and never raises.
    virtual void UpdateEnded(const TUpdateOutcome& AOutcome) noexcept = 0;
};

// Connects the observer of every later update's outcome; nullptr disconnects it. Until one is
// connected, outcomes go nowhere.
void SetUpdateOutcomeObserver(std::shared_ptr<IUpdateOutcomeObserver> AObserver);
