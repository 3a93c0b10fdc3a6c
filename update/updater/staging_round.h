#pragma once
// One round of the background fetch (update/plan/staged_fetch.h) on a task list of its own, its
// outcome handed back on the UI thread. The caller keeps the returned list while the round runs;
// releasing it waits for the round's task (cancel the control first so that it ends at once).
#include <functional>
#include <memory>

#include "update/plan/staged_fetch.h"

class ITasks;

// Runs on the UI thread; AOnDone runs there too, once the round has ended.
std::shared_ptr<ITasks> StartStagingRound(TUpdateVerification AVerification,
                                          std::shared_ptr<IUpdateSource> ASource, std::wstring AStoreFolder,
                                          TStagingSettings ASettings,
                                          std::shared_ptr<TStagingControl> AControl,
                                          std::function<void(const TStagingOutcome&)> AOnDone);
