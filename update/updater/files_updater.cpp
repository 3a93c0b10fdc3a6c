#include "update/updater/files_updater.h"

#include <algorithm>
#include <unordered_set>

#include "base/error.h"
#include "base/paths.h"
#include "base/string_convert.h"
#include "tasks/tasks_list.h"
#include "update/trust/content_verifier.h"
#include "update/disk/file_ages.h"
#include "update/records/file_info.h"
#include "update/disk/file_keys.h"
#include "update/stream/fetch_observers.h"
#include "update/disk/file_operations.h"
#include "update/updater/shared_files.h"
#include "update/source/folder_source.h"
#include "update/source/service_source.h"
#include "update/plan/fetch_into_file.h"
#include "update/plan/patch_install.h"
#include "update/plan/stored_objects_source.h"
#include "update/report/update_report.h"

namespace {

// Every byte of a patch that arrived, restarts included: what it cost the wire, also when it was refused.
class TPatchWireBytes final : public IFetchObserver {
  public:
    void Begin(uint64_t, std::optional<uint64_t>) override {}
    void Received(const char*, size_t ASize) override { FBytes += ASize; }
    uint64_t Bytes() const { return FBytes; }

  private:
    uint64_t FBytes = 0;
};

}  // namespace

std::shared_ptr<IFilesUpdater> TFilesUpdater::New(std::wstring ALocalPath, std::wstring ARemotePath,
                                                  std::wstring AURL, TNotifyProc AOnTerminate) {
    TReportProc onTerminate;
    if (AOnTerminate) onTerminate = [done = std::move(AOnTerminate)](const TVerificationReport&) { done(); };
    return New(std::move(ALocalPath), std::move(ARemotePath), std::move(AURL), TUpdateVerification{},
               std::move(onTerminate));
}

std::shared_ptr<IFilesUpdater> TFilesUpdater::New(std::wstring ALocalPath, std::wstring ARemotePath,
                                                  std::wstring AURL, TUpdateVerification AVerification,
                                                  TReportProc AOnTerminate) {
    return New(std::move(ALocalPath), SourceFor(ARemotePath, AURL, TTransferLimits{}),
               std::move(AVerification), std::move(AOnTerminate));
}

std::shared_ptr<IFilesUpdater> TFilesUpdater::New(std::wstring ALocalPath,
                                                  std::shared_ptr<IUpdateSource> ASource,
                                                  TUpdateVerification AVerification,
                                                  TReportProc AOnTerminate) {
    return std::make_shared<TFilesUpdater>(TPrivate{}, std::move(ALocalPath), std::move(ASource),
                                           std::move(AVerification), std::move(AOnTerminate));
}

std::shared_ptr<IUpdateSource> TFilesUpdater::SourceFor(const std::wstring& ARemotePath,
                                                        const std::wstring& AURL,
                                                        const TTransferLimits& ALimits) {
    // Only a URL without any character selects the folder: blanks are a (misconfigured) URL.
    if (AURL.empty()) return std::make_shared<TFolderSource>(ARemotePath);
    return std::make_shared<TServiceSource>(AURL, ALimits);
}

TFilesUpdater::TFilesUpdater(TPrivate, std::wstring ALocalPath, std::shared_ptr<IUpdateSource> ASource,
                             TUpdateVerification AVerification, TReportProc AOnTerminate)
    : FLocalPath(std::move(ALocalPath)),
      FSource(std::move(ASource)),
      FStored(std::dynamic_pointer_cast<TStoredObjectsSource>(FSource)),
      FVerification(std::move(AVerification)),
      FOnTerminate(std::move(AOnTerminate)),
      FReport(std::make_unique<TUpdateReport>(FSource->Where())) {
    // The fleet report tells how much of the update the background fetch had brought already.
    if (const auto stored = std::dynamic_pointer_cast<TStoredObjectsSource>(FSource))
        FReport->CountStoreBytes([stored] { return stored->BytesFromStore(); });
}

// FTasks goes first (declared last): its destructor waits for the pool, so no fetch outlives the
// fields it reads.
TFilesUpdater::~TFilesUpdater() = default;

std::shared_ptr<const TFetchProgress> TFilesUpdater::Progress() const { return FReport->Progress(); }

void TFilesUpdater::ExpectSizes(std::function<std::optional<uint64_t>(const std::wstring&)> ALookup) {
    FReport->SetExpectedSizes(std::move(ALookup));
}

void TFilesUpdater::Execute(const std::wstring& AModuleName, bool AAdditionalFiles) {
    // A second run would replace the task list under the first one's completion.
    if (FTasks || FSelf) throw Error("TFilesUpdater.Execute runs once per updater", TErrorCategory::Other);
    FSelf = shared_from_this();
    FTasks = TTasksList::New();
    FReport->SetModule(AModuleName);
    try {
        // A refused release fetches nothing: not even the list is asked for.
        if (PlanSourceRelease()) {
            FillLocalList(AModuleName, AAdditionalFiles);
            // A release names every file and its age: the server need not be listed.
            if (!FFromRelease) FillRemoteList();
            FReport->Listed(FLocalList.size(), FRemoteList.size());
            CompareLists();
        }
    } catch (...) {
        FReport->Abandoned(std::current_exception());
        // The update is over before it began: no completion will come, so nothing may keep the
        // updater alive. Fetches already queued (only a failing comparison can leave some) still read
        // the updater, so in that case the release waits for them.
        if (FQueuedFetches == 0) {
            const std::shared_ptr<TFilesUpdater> self = std::move(FSelf);
            FTasks.reset();
        } else {
            FTasks->AWait([this] { const std::shared_ptr<TFilesUpdater> self = std::move(FSelf); });
        }
        throw;
    }
    // Runs on the UI thread once every fetch has ended. Dropping the extra reference last may destroy
    // the updater, its task list and the pool right here; nothing touches them afterwards.
    FTasks->AWait([this] {
        const std::shared_ptr<TFilesUpdater> self = std::move(FSelf);
        FReport->Completed(FVerificationReport, FAltered.size());
        FireTerminate();
    });
}

void TFilesUpdater::FillLocalList(const std::wstring& AModuleName, bool AAdditionalFiles) {
    FLocalList.clear();
    if (!AModuleName.empty()) AddLocalFile(AModuleName);
    if (AAdditionalFiles) {
        for (const std::wstring_view name : kSharedFiles) AddLocalFile(std::wstring(name));
    }
}

void TFilesUpdater::AddLocalFile(const std::wstring& AFileName) {
    const std::wstring fullPath = PathJoin(FLocalPath, AFileName);
    TDateTime age = -1;
    if (FileExists(fullPath)) ReadFileAge(fullPath, age);
    FLocalList.push_back(std::make_unique<TFileInfoDTO>(AFileName, age));
}

void TFilesUpdater::FillRemoteList() {
    FRemoteList.clear();
    for (const TSourceFile& file : FSource->List()) AddRemoteFile(file.Name, file.Age);
}

void TFilesUpdater::AddRemoteFile(const std::wstring& AFileName, TDateTime AAge) {
    if (!FRemoteList.try_emplace(FileKey(AFileName), std::make_unique<TFileInfoDTO>(AFileName, AAge)).second)
        throw Error("Duplicates not allowed", TErrorCategory::Listing);
}

void TFilesUpdater::CompareLists() {
    // The shared table names some files twice; one fetch per target keeps two writers off one file.
    std::unordered_set<std::wstring> queued;
    for (const std::unique_ptr<TFileInfoDTO>& local : FLocalList) {
        std::wstring key = FileKey(local->FileName());
        const auto remote = FRemoteList.find(key);
        if (remote == FRemoteList.end()) continue;
        // Existence is tested now, not taken from the listing: -1 cannot tell a missing file from one
        // whose age could not be read.
        const bool exists = FileExists(PathJoin(FLocalPath, local->FileName()));
        // A release's ages are whole seconds, and so are the ages it writes.
        const bool same = FFromRelease ? SameWholeSecond(local->Age(), remote->second->Age())
                                       : SameAge(local->Age(), remote->second->Age());
        if (exists && same) continue;
        if (queued.insert(std::move(key)).second) AddTask(local->FileName(), remote->second->Age());
    }
}

bool TFilesUpdater::PlanSourceRelease() {
    FPlan = PlanRelease(FVerification, *FSource);
    FVerificationReport.Rollout = FPlan.Rollout;
    // A rollout document taken counts even when the flat folder's manifest is then refused.
    if (FPlan.Rollout.RolloutSerial && (FPlan.Accepted() || FPlan.RefusedAt() == TPlanStage::Manifest))
        FReport->RolloutTaken(FPlan.Rollout);
    if (!FPlan.Accepted()) {
        FVerificationReport.Refusal = FPlan.Refusal();
        FVerificationReport.Detail = FPlan.Detail();
        return false;
    }
    if (FPlan.FromRelease()) {
        FRemoteList.clear();
        std::set<TSha256> seen;
        for (const TPlannedFile& file : FPlan.Files()) {
            AddRemoteFile(file.Name, *file.Age);
            if (file.Expected && !seen.insert(file.Expected->Sha256).second)
                FSharedContents.insert(file.Expected->Sha256);
        }
        FFromRelease = true;
    }
    if (FPlan.Verified()) {
        // The signed document knows every size up front, so the progress total is known from the
        // first fetch.
        FReport->SetExpectedSizes([this](const std::wstring& AFileName) -> std::optional<uint64_t> {
            const std::optional<TPlannedFile> file = FPlan.Find(AFileName);
            if (!file || !file->Expected) return std::nullopt;
            return file->Expected->Size;
        });
    }
    return true;
}

void TFilesUpdater::AddTask(const std::wstring& AFileName, TDateTime AAge) {
    std::optional<TPlannedFile> planned = FPlan.Find(AFileName);
    // What the publisher did not sign is not fetched, whatever the server lists.
    if (!planned) return;
    const bool sizeKnown = FReport->Queued(AFileName);
    const bool soleUse = planned->Expected && !FSharedContents.count(planned->Expected->Sha256);
    // The task holds no reference: the extra reference of Execute outlives every fetch. The file is
    // kept under the name it was listed with locally.
    FTasks->Run([this, AFileName, remoteName = std::move(planned->RemoteName), AAge, sizeKnown,
                 expected = std::move(planned->Expected), deflated = planned->Deflated,
                 patches = std::move(planned->Patches), soleUse] {
        Fetch(AFileName, remoteName, AAge, sizeKnown, expected, deflated, patches, soleUse);
    });
    ++FQueuedFetches;
}

// Runs on a pool thread. A content that fails the check ends the fetch like any failed fetch, and is
// named in the verification report.
void TFilesUpdater::Fetch(const std::wstring& AFileName, const std::wstring& ARemoteName, TDateTime AAge,
                          bool ASizeKnown, const std::optional<TManifestFile>& AExpected,
                          const std::optional<TDeflatedObject>& ADeflated,
                          const std::vector<TFilePatch>& APatches, bool ASoleUse) {
    TUpdateReport::TFetch fetch(*FReport, AFileName, ASizeKnown);
    const std::wstring target = PathJoin(FLocalPath, AFileName);
    // What the background fetch brought in goes first: no patch, no deflated object from the wire.
    const bool stored = AExpected && FStored && FStored->Holds(*AExpected);
    if (stored && ASoleUse) {
        try {
            // The store's own check is the content check here: the report's observer sees the bytes,
            // not a second hash.
            if (FStored->MoveInto(*AExpected, target, AAge, &fetch.Observer())) {
                fetch.Fetched(TFetchVia::Plain, 0);
                return;
            }
        } catch (...) {
            fetch.Failed(std::current_exception());
            throw;
        }
    }
    // A patch from the local version first; any failure of it falls back to the whole object below,
    // and the patch's bytes still count as crossing the wire.
    TPatchWireBytes patchWire;
    TFetchObservers patchObservers;
    patchObservers.Add(fetch.Observer()).Add(patchWire);
    if (AExpected && !stored &&
        InstallByPatch(*FSource, *AExpected, APatches, target, AAge, patchObservers)) {
        fetch.Fetched(TFetchVia::Patch, patchWire.Bytes());
        return;
    }
    std::optional<TContentVerifier> verifier;
    TFetchObservers observers;
    // The check goes first: a body that runs past its size is cut before anything else counts it.
    if (AExpected) observers.Add(verifier.emplace(*AExpected));
    observers.Add(fetch.Observer());
    TFetchWire wire;
    try {
        // The file is kept under its own name, whatever name the source serves it under.
        FetchIntoFile(
            *FSource, ARemoteName, target, AAge, observers,
            [&] {
                if (verifier) verifier->Finish();
            },
            stored ? std::nullopt : ADeflated, &wire);
    } catch (...) {
        if (verifier && verifier->Altered()) {
            const std::lock_guard lock(FAlteredLock);
            FAltered.push_back(AFileName);
        }
        fetch.Failed(std::current_exception());
        throw;
    }
    fetch.Fetched(wire.Deflated ? TFetchVia::Deflate : TFetchVia::Plain, patchWire.Bytes() + wire.Bytes);
}

// Runs on the UI thread once every fetch has ended: no pool thread writes FAltered any more.
void TFilesUpdater::FireTerminate() {
    FVerificationReport.AlteredFiles = FAltered;
    if (FOnTerminate) FOnTerminate(FVerificationReport);
}
