#pragma once
// The background fetch: while the launcher runs, the objects of the releases its ring is given and
// of the one it stages are brought into the workstation's store (update/state/object_store.h)
// before anyone clicks, so that the click after a release's switch only swaps files. One round
// reads the rollout document through the resolver (PlanStaging), prunes the store to what the
// current, previous and staged releases name, and fetches what a click would need and the store
// does not hold: every file of the staged release that the program folder does not already hold as
// signed, and every file of the assigned release that is installed but differs. Each object is
// checked against its signed entry as it arrives, written to its partial file and continued from
// there after a pause or a cut; at most the cap's bytes a second are read, and nothing past the
// store's bound. Runs on a pool thread (tasks/), never the UI thread.
#include <cstdint>
#include <optional>
#include <string>

#include "update/plan/release_plan.h"
#include "update/plan/staging_control.h"
#include "update/state/object_store.h"

class IUpdateSource;

struct TStagingSettings {
    // The program folder whose files a click would replace.
    std::wstring LocalPath;
    // [Rede] "Max KBps" in bytes a second; 0: no cap.
    uint64_t MaxBytesPerSecond = 0;
    // [Rede] "Cache MB" in bytes: the store holds no more (complete and partial objects together).
    uint64_t StoreLimitBytes = uint64_t{1024} << 20;
};

struct TStagingOutcome {
    TStagingPlan Plan;   // what the resolver found (Plan.Accepted false: nothing was fetched)
    size_t Wanted = 0;   // objects a click would need
    size_t Held = 0;     // of them already in the store at the start
    size_t Fetched = 0;  // brought in and checked this round
    size_t Failed = 0;   // cut, refused by the server or the disk; their partials stay
    size_t Altered = 0;  // arrived with other content than signed: discarded
    size_t Skipped = 0;  // left out because the store's bound was reached
    uint64_t Bytes = 0;  // received this round
    uint64_t Milliseconds = 0;
    TStorePrune Pruned;
    bool Cancelled = false;
    // Every object of the staged release that the program folder lacks is in the store.
    bool StagedComplete = false;
    std::string LastFailure;  // the last failed object's reason
};

TStagingOutcome RunStaging(const TUpdateVerification& AVerification, IUpdateSource& ASource,
                           const TObjectStore& AStore, const TStagingSettings& ASettings,
                           TStagingControl& AControl);
