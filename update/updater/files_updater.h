#pragma once
// The files updater: brings the module's executable and, on request, the shared runtime files up to
// date from the server folder or the file service, fetching in the background and calling back on the
// UI thread when every fetch has ended.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/date_time.h"
#include "update/plan/release_plan.h"
#include "update/plan/update_verification.h"
#include "update/transport/rest_client.h"
#include "update/trust/manifest_rules.h"

class ITasks;
class TFileInfoDTO;
class TContentVerifier;
class TFetchProgress;
class IFetchObserver;
class TUpdateReport;
class IUpdateSource;
class TStoredObjectsSource;

class IFilesUpdater {
  public:
    virtual ~IFilesUpdater() = default;
    // Runs one update: lists and compares on the calling (UI) thread, queues one fetch per stale file
    // and returns. Errors while listing or comparing leave Execute and the completion never comes;
    // errors of a single fetch end only that fetch. Call it once per updater.
    virtual void Execute(const std::wstring& AModuleName, bool AAdditionalFiles) = 0;
    // What the update has fetched so far; readable on any thread, also after the update.
    virtual std::shared_ptr<const TFetchProgress> Progress() const = 0;
};

class TFilesUpdater final : public IFilesUpdater, public std::enable_shared_from_this<TFilesUpdater> {
  public:
    using TNotifyProc = std::function<void()>;
    using TReportProc = std::function<void(const TVerificationReport&)>;

    // ALocalPath: root of the local files; ARemotePath: root of the server folder; AURL: base URL of
    // the file service, empty to use the server folder (blanks select the service); AOnTerminate: runs
    // on the UI thread once every fetch has ended, may be empty. The reference returned is the caller's;
    // Execute keeps the updater alive until its completion has run.
    static std::shared_ptr<IFilesUpdater> New(std::wstring ALocalPath, std::wstring ARemotePath,
                                              std::wstring AURL, TNotifyProc AOnTerminate);
    // The same with verification (see update/plan/release_plan.h). When enabled, Execute first has
    // the plan accept the source's release: a refused one ends the update without listing or
    // fetching anything; an accepted one limits the fetches to the files it names, each checked
    // against it as it arrives. AOnTerminate gets what verification found (clean when disabled).
    static std::shared_ptr<IFilesUpdater> New(std::wstring ALocalPath, std::wstring ARemotePath,
                                              std::wstring AURL, TUpdateVerification AVerification,
                                              TReportProc AOnTerminate);
    // The same from a source of the caller's (update/source/), which the update keeps until it ends.
    static std::shared_ptr<IFilesUpdater> New(std::wstring ALocalPath, std::shared_ptr<IUpdateSource> ASource,
                                              TUpdateVerification AVerification, TReportProc AOnTerminate);
    // The source an update reads: the service when AURL is set (blanks are a misconfigured URL, not
    // none), else the server folder; each with ALimits.
    static std::shared_ptr<IUpdateSource> SourceFor(const std::wstring& ARemotePath, const std::wstring& AURL,
                                                    const TTransferLimits& ALimits);

    // Use New; public only for std::make_shared.
    struct TPrivate {};
    TFilesUpdater(TPrivate, std::wstring ALocalPath, std::shared_ptr<IUpdateSource> ASource,
                  TUpdateVerification AVerification, TReportProc AOnTerminate);
    ~TFilesUpdater() override;
    TFilesUpdater(const TFilesUpdater&) = delete;
    TFilesUpdater& operator=(const TFilesUpdater&) = delete;

    void Execute(const std::wstring& AModuleName, bool AAdditionalFiles) override;
    std::shared_ptr<const TFetchProgress> Progress() const override;
    // Sizes known before the fetches make the progress total known from the start. Before Execute;
    // an accepted manifest supplies them by itself.
    void ExpectSizes(std::function<std::optional<uint64_t>(const std::wstring& AFileName)> ALookup);

  private:
    using TFileList = std::vector<std::unique_ptr<TFileInfoDTO>>;
    using TFileDictionary = std::unordered_map<std::wstring, std::unique_ptr<TFileInfoDTO>>;

    void FillLocalList(const std::wstring& AModuleName, bool AAdditionalFiles);
    void AddLocalFile(const std::wstring& AFileName);
    void FillRemoteList();
    void AddRemoteFile(const std::wstring& AFileName, TDateTime AAge);
    void CompareLists();
    // The plan first (update/plan/release_plan.h): under release control the assigned release
    // stands for the listing and the manifest; otherwise the flat folder's manifest is accepted.
    // False when it was refused.
    bool PlanSourceRelease();
    void AddTask(const std::wstring& AFileName, TDateTime AAge);
    // ARemoteName: what the source serves the content under (the file's own name, or in rollout mode
    // its stored object); ADeflated: that object's deflated copy, when the release has one;
    // ASoleUse: no other file of the release has its content, so a stored object may be moved in.
    void Fetch(const std::wstring& AFileName, const std::wstring& ARemoteName, TDateTime AAge,
               bool ASizeKnown, const std::optional<TManifestFile>& AExpected,
               const std::optional<TDeflatedObject>& ADeflated, const std::vector<TFilePatch>& APatches,
               bool ASoleUse);
    void FireTerminate();

    // Read by the fetch tasks on pool threads: set by the constructor and never changed afterwards.
    const std::wstring FLocalPath;
    const std::shared_ptr<IUpdateSource> FSource;
    // The same source when it is backed by the workstation's store (update/plan/stored_objects_source.h).
    const std::shared_ptr<TStoredObjectsSource> FStored;
    const TUpdateVerification FVerification;
    // What the update may take, and how each file is checked: set before the first fetch is queued,
    // read on the UI thread only. In rollout mode the files come from the assigned release rather
    // than the server's listing, compared by whole seconds and fetched from their objects.
    TReleasePlan FPlan;
    bool FFromRelease = false;
    // Contents that more than one file of the release has: their stored objects are copied, not moved.
    std::set<TSha256> FSharedContents;
    // Touched on the UI thread only.
    TFileList FLocalList;
    TFileDictionary FRemoteList;
    TReportProc FOnTerminate;
    TVerificationReport FVerificationReport;
    // Names of the fetches whose content failed the check, written by the pool threads.
    std::mutex FAlteredLock;
    std::vector<std::wstring> FAltered;
    // The extra reference that keeps the updater alive from Execute until its completion has run.
    std::shared_ptr<TFilesUpdater> FSelf;
    int FQueuedFetches = 0;
    // Progress and log lines; the fetches reach it through the updater, which outlives them.
    std::unique_ptr<TUpdateReport> FReport;
    // Declared last so that it goes first: releasing the task list waits for its pool, and the fetches
    // still read the fields above.
    std::shared_ptr<ITasks> FTasks;
};
