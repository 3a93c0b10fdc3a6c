#pragma once
// A planned file (update/plan/release_plan.h) written into the program folder the one way anything
// reaches it: fetched into a temporary beside the target, checked against its signed entry while it
// streams, given its age and renamed over the target in one step. For the single files that the
// self-update and the support tools bring in on the UI thread; the files updater fetches on its pool
// through the same FetchIntoFile.
#include <functional>
#include <string>

#include "base/date_time.h"
#include "update/plan/release_plan.h"

class IFetchObserver;

enum class TInstallOutcome {
    Installed,  // ATarget holds the planned content
    Altered,    // the content is not the signed one: nothing was written under ATarget
    Failed,     // the fetch or the swap failed: ATarget is as it was
};

// AAge: the age ATarget gets. AObserver, when given, sees every byte after the content check;
// ABeforeSwap, when given, runs once the body is complete and may refuse it by raising. Never
// raises; AWhy, when given, receives the failure's message.
TInstallOutcome InstallPlannedFile(IUpdateSource& ASource, const TPlannedFile& AFile,
                                   const std::wstring& ATarget, TDateTime AAge, std::string* AWhy = nullptr,
                                   IFetchObserver* AObserver = nullptr,
                                   const std::function<void()>& ABeforeSwap = {});
