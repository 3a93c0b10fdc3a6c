#include "update/files/files_updater.h"

#include <algorithm>
#include <unordered_set>

#include "base/error.h"
#include "base/paths.h"
#include "base/string_convert.h"
#include "tasks/tasks_list.h"
#include "update/trust/content_verifier.h"
#include "update/files/file_ages.h"
#include "update/records/file_info.h"
#include "update/files/file_keys.h"
#include "update/progress/fetch_observers.h"
#include "update/files/file_operations.h"
#include "update/client/rest_client.h"
#include "update/files/shared_files.h"
#include "update/progress/update_report.h"

namespace {

// A fetch's temporary file: deleted when the fetch fails, kept once it has been swapped in.
class TTemporaryFile {
  public:
    explicit TTemporaryFile(std::wstring APath) : FPath(std::move(APath)) {}
    ~TTemporaryFile() {
        if (!FPath.empty()) DiscardTemporary(FPath);
    }
    TTemporaryFile(const TTemporaryFile&) = delete;
    TTemporaryFile& operator=(const TTemporaryFile&) = delete;

    const std::wstring& Path() const { return FPath; }
    void Keep() { FPath.clear(); }

  private:
    std::wstring FPath;
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
    return std::make_shared<TFilesUpdater>(TPrivate{}, std::move(ALocalPath), std::move(ARemotePath),
                                           std::move(AURL), std::move(AVerification),
                                           std::move(AOnTerminate));
}

TFilesUpdater::TFilesUpdater(TPrivate, std::wstring ALocalPath, std::wstring ARemotePath, std::wstring AURL,
                             TUpdateVerification AVerification, TReportProc AOnTerminate)
    : FURL(std::move(AURL)),
      FLocalPath(std::move(ALocalPath)),
      FRemotePath(std::move(ARemotePath)),
      FVerification(std::move(AVerification)),
      // Only a URL without any character selects the folder: blanks are a (misconfigured) URL.
      UpdateFile(FURL.empty() ? &TFilesUpdater::UpdateFileFromFolder : &TFilesUpdater::UpdateFileFromService),
      FillRemoteList(FURL.empty() ? &TFilesUpdater::FillRemoteListFromFolder
                                  : &TFilesUpdater::FillRemoteListFromService),
      FOnTerminate(std::move(AOnTerminate)),
      FReport(std::make_unique<TUpdateReport>(FURL.empty() ? FRemotePath : FURL)) {}

// FTasks goes first (declared last): its destructor waits for the pool, so no fetch outlives the
// fields it reads.
TFilesUpdater::~TFilesUpdater() = default;

std::shared_ptr<const TFetchProgress> TFilesUpdater::Progress() const { return FReport->Progress(); }

void TFilesUpdater::ExpectSizes(std::function<std::optional<uint64_t>(const std::wstring&)> ALookup) {
    FReport->SetExpectedSizes(std::move(ALookup));
}

void TFilesUpdater::Execute(const std::wstring& AModuleName, bool AAdditionalFiles) {
    // A second run would replace the task list under the first one's completion.
    if (FTasks || FSelf) throw Error("TFilesUpdater.Execute runs once per updater");
    FSelf = shared_from_this();
    FTasks = TTasksList::New();
    FReport->SetModule(AModuleName);
    try {
        // A refused release fetches nothing: not even the list is asked for.
        if (!FVerification.Enabled() || AcceptSourceManifest()) {
            FillLocalList(AModuleName, AAdditionalFiles);
            (this->*FillRemoteList)();
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

void TFilesUpdater::FillRemoteListFromFolder() {
    FRemoteList.clear();
    const std::wstring root = FolderWithDelimiter(FRemotePath);
    std::vector<TListedFile> files = ListFilesUnder(root);
    std::sort(files.begin(), files.end(),
              [](const TListedFile& a, const TListedFile& b) { return a.FullPath < b.FullPath; });
    for (const TListedFile& file : files) AddRemoteFile(file.FullPath.substr(root.size()), file.Age);
}

void TFilesUpdater::FillRemoteListFromService() {
    FRemoteList.clear();
    TRESTClientFileList client(FURL);
    // A refusal is no error: it leaves the list empty, and the update completes without fetching.
    client.Execute(L"\\", L"*.*", true);
    for (int i = 0; i < client.Count(); ++i) {
        if (const TFileInfoDTO* item = client.GetItem(i)) AddRemoteFile(item->FileName(), item->Age());
    }
}

void TFilesUpdater::AddRemoteFile(const std::wstring& AFileName, TDateTime AAge) {
    if (!FRemoteList.try_emplace(FileKey(AFileName), std::make_unique<TFileInfoDTO>(AFileName, AAge)).second)
        throw Error("Duplicates not allowed");
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
        if (exists && SameAge(local->Age(), remote->second->Age())) continue;
        if (queued.insert(std::move(key)).second) AddTask(local->FileName(), remote->second->Age());
    }
}

bool TFilesUpdater::AcceptSourceManifest() {
    const TManifestBytes bytes =
        FURL.empty() ? ReadManifestFromFolder(FRemotePath) : DownloadManifest(FURL, FLocalPath);
    TAcceptance acceptance = AcceptManifest(FVerification, bytes);
    FVerificationReport.Refusal = acceptance.Refusal;
    FVerificationReport.Detail = std::move(acceptance.Detail);
    if (!acceptance.Accepted()) return false;
    FManifest = std::move(acceptance.Manifest);
    // The manifest knows every size up front, so the progress total is known from the first fetch.
    FReport->SetExpectedSizes([this](const std::wstring& AFileName) -> std::optional<uint64_t> {
        const TManifestFile* entry = FindManifestFile(*FManifest, WideToUtf8(AFileName));
        if (!entry) return std::nullopt;
        return entry->Size;
    });
    return true;
}

void TFilesUpdater::AddTask(const std::wstring& AFileName, TDateTime AAge) {
    std::optional<TManifestFile> expected;
    if (FManifest) {
        const TManifestFile* entry = FindManifestFile(*FManifest, WideToUtf8(AFileName));
        // What the publisher did not sign is not fetched, whatever the server lists.
        if (!entry) return;
        expected = *entry;
    }
    const bool sizeKnown = FReport->Queued(AFileName);
    // The task holds no reference: the extra reference of Execute outlives every fetch.
    FTasks->Run([this, AFileName, AAge, sizeKnown, expected = std::move(expected)] {
        Fetch(AFileName, AAge, sizeKnown, expected);
    });
    ++FQueuedFetches;
}

// Runs on a pool thread. A content that fails the check ends the fetch like any failed fetch, and is
// named in the verification report.
void TFilesUpdater::Fetch(const std::wstring& AFileName, TDateTime AAge, bool ASizeKnown,
                          const std::optional<TManifestFile>& AExpected) {
    TUpdateReport::TFetch fetch(*FReport, AFileName, ASizeKnown);
    std::optional<TContentVerifier> verifier;
    TFetchObservers observers;
    // The check goes first: a body that runs past its size is cut before anything else counts it.
    if (AExpected) observers.Add(verifier.emplace(*AExpected));
    observers.Add(fetch.Observer());
    try {
        (this->*UpdateFile)(AFileName, AAge, observers, verifier ? &*verifier : nullptr);
    } catch (...) {
        if (verifier && verifier->Altered()) {
            const std::lock_guard lock(FAlteredLock);
            FAltered.push_back(AFileName);
        }
        fetch.Failed(std::current_exception());
        throw;
    }
    fetch.Fetched();
}

// Runs on a pool thread. Every step raises on failure and ends the fetch; the previous file stays
// exactly as it was until the complete copy, carrying the server's age, is renamed over it.
void TFilesUpdater::UpdateFileFromFolder(const std::wstring& AFileName, TDateTime AAge,
                                         IFetchObserver& AObserver, TContentVerifier* AVerifier) const {
    const std::wstring source = PathJoin(FRemotePath, AFileName);
    const std::wstring target = PathJoin(FLocalPath, AFileName);
    const std::wstring folder = FolderOf(target);
    if (!folder.empty()) ForceDirectories(folder);
    CheckFilePath(target);
    CheckReplaceable(target);
    TTemporaryFile temporary(TemporaryNameBeside(target));
    CopyFileNoOverwrite(source, temporary.Path(), AObserver);
    if (AVerifier) AVerifier->Finish();
    SetFileAgeStrict(temporary.Path(), AAge);
    ReplaceWithTemporary(temporary.Path(), target);
    temporary.Keep();
}

// Runs on a pool thread. Files from the service land in folders that exist already (the launcher's
// folder and Relatorio, made at start-up), so no folder is created here.
void TFilesUpdater::UpdateFileFromService(const std::wstring& AFileName, TDateTime AAge,
                                          IFetchObserver& AObserver, TContentVerifier* AVerifier) const {
    const std::wstring target = PathJoin(FLocalPath, AFileName);
    CheckFilePath(target);
    CheckReplaceable(target);
    TTemporaryFile temporary(TemporaryNameBeside(target));
    {
        TRESTClientDownload client(FURL);
        // The client removes what it wrote when it fails; the temporary file's owner removes anything
        // left over, also when Download raises.
        if (!client.Download(AFileName, temporary.Path(), &AObserver)) throw Error(WideToUtf8(client.Error()));
    }
    if (AVerifier) AVerifier->Finish();
    SetFileAgeStrict(temporary.Path(), AAge);
    ReplaceWithTemporary(temporary.Path(), target);
    temporary.Keep();
}

// Runs on the UI thread once every fetch has ended: no pool thread writes FAltered any more.
void TFilesUpdater::FireTerminate() {
    FVerificationReport.AlteredFiles = FAltered;
    if (FOnTerminate) FOnTerminate(FVerificationReport);
}
