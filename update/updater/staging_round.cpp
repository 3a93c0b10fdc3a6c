#include "update/updater/staging_round.h"

#include "tasks/tasks_list.h"

std::shared_ptr<ITasks> StartStagingRound(TUpdateVerification AVerification,
                                          std::shared_ptr<IUpdateSource> ASource, std::wstring AStoreFolder,
                                          TStagingSettings ASettings,
                                          std::shared_ptr<TStagingControl> AControl,
                                          std::function<void(const TStagingOutcome&)> AOnDone) {
    auto outcome = std::make_shared<TStagingOutcome>();
    std::shared_ptr<ITasks> tasks = TTasksList::New();
    tasks->Run([outcome, verification = std::move(AVerification), source = std::move(ASource),
                folder = std::move(AStoreFolder), settings = std::move(ASettings),
                control = std::move(AControl)] {
        *outcome = RunStaging(verification, *source, TObjectStore(folder), settings, *control);
    });
    tasks->AWait([outcome, done = std::move(AOnDone)] { done(*outcome); });
    return tasks;
}
