#pragma once
// The menu window's update queue: one update runs at a time; a click (or a start-up refresh, the
// empty module name) that comes while one runs waits and runs, in order, once the running one has
// completed; a module that is running or already waiting is not queued twice. Portable: it only
// keeps names.
#include <deque>
#include <optional>
#include <string>

#include "launcher/catalogue/module_options.h"

class TUpdateQueue {
  public:
    using TModuleInfo = TModuleOptions::TModuleInfo;

    // Marks AModuleName's update as the running one.
    void Begin(const std::wstring& AModuleName);
    // While an update runs, queues AModuleName (unless it is the running one or already waiting)
    // and returns true; returns false when nothing runs and the caller may start it now.
    bool Defer(const std::wstring& AModuleName, bool AAdditionalFiles);
    // The running update completed: nothing runs any more; returns the next waiting one, taken off
    // the queue, if any.
    std::optional<TModuleInfo> Finish();
    // The running update failed before it could complete: nothing runs and nothing waits, so waiting
    // clicks do not meet the same error one after another.
    void Abandon();

    bool Updating() const { return FUpdating; }
    bool NothingWaits() const { return FPending.empty(); }

    // The state itself, kept under the menu window's names (which forward here).
    bool FUpdating = false;
    std::wstring FRunningModule;  // module name of the running update; empty for a refresh
    std::deque<TModuleInfo> FPending;
};
