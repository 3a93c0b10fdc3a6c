#include <algorithm>
#include <atomic>
#include <mutex>
#include <memory>
#include <optional>

#include "base/error.h"
#include "base/handles.h"
#include "base/string_convert.h"
#include "base/win32_error.h"
#include "tasks/task.h"
#include "update/disk/file_operations.h"
#include "update/stream/fetch_observer.h"
#include "update/transport/http_request.h"
#include "update/transport/pumped_wait.h"
#include "update/transport/resumable_fetch.h"
#include "update/stream/byte_sink.h"
#include "update/transport/rest_client.h"
#include "update/transport/url_encoding.h"

namespace {

// Creates (or empties) the local file with no sharing, so that no other process opens it while it
// is written. Wine lets root replace a read-only file; Windows refuses, and so do we.
unique_file CreateLocalFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        throw Win32Error(ERROR_ACCESS_DENIED, TErrorCategory::Disk);
    unique_file file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) ThrowLastError(TErrorCategory::Disk);
    return file;
}

// What a threaded fetch shares with its caller; the last of the two to let go frees it.
struct TThreadedFetch {
    std::mutex Lock;
    std::atomic<bool> Abandoned = false;  // the caller stopped waiting: nothing may be swapped in
    bool Replaced = false;                // the complete body replaced the target
};

// Ends the fetch at its next piece once its caller has stopped waiting.
class TEndWhenAbandoned final : public IFetchObserver {
  public:
    explicit TEndWhenAbandoned(const std::atomic<bool>& AAbandoned) : FAbandoned(AAbandoned) {}
    void Begin(uint64_t, std::optional<uint64_t>) override { Check(); }
    void Received(const char*, size_t) override { Check(); }

  private:
    void Check() const {
        if (FAbandoned) throw Error("abandoned", TErrorCategory::Other);
    }
    const std::atomic<bool>& FAbandoned;
};

}  // namespace

TRESTClientDownload::TRESTClientDownload(const std::wstring& AURL) : FBaseURL(AURL) {}

bool TRESTClientDownload::Download(const std::wstring& ARemoteFileName, const std::wstring& ALocalFileName,
                                   IFetchObserver* AObserver) {
    OutputDebugStringW((std::wstring(92, L'>') + ARemoteFileName).c_str());
    const std::wstring url = DownloadURL(FBaseURL, ARemoteFileName);
    try {
        unique_file file = CreateLocalFile(ALocalFileName);
        const THttpSession session(FTimeouts, FLimits);
        TFileSink sink(file.get());
        FetchResumable(session, url, sink, FRetries, AObserver);
    } catch (const std::exception& e) {
        FError = Utf8ToWide(e.what());
        if (!DeleteFileW(ALocalFileName.c_str())) {
            const DWORD code = GetLastError();
            // These mean the target is still there or was never ours to remove: the caller must
            // learn of it. Anything else (a missing folder) leaves nothing behind.
            if (code == ERROR_FILE_NOT_FOUND || code == ERROR_ACCESS_DENIED ||
                code == ERROR_SHARING_VIOLATION)
                throw Win32Error(code, TErrorCategory::Disk);
        }
    }
    return FileExists(ALocalFileName);
}

bool TRESTClientDownload::ThreadedDownload(const std::wstring& ARemoteFileName,
                                           const std::wstring& ALocalFileName) {
    // The task copies what it needs and shares only this with the caller, who may stop waiting
    // before it ends.
    const auto shared = std::make_shared<TThreadedFetch>();
    const std::shared_ptr<ITask> task =
        TTask::New([url = DownloadURL(FBaseURL, ARemoteFileName), local = ALocalFileName,
                    timeouts = FTimeouts, retries = FRetries, limits = FLimits, shared] {
            // The body goes beside the target, so that the file there stays whole until a complete
            // body replaces it, whatever ends the fetch.
            std::wstring temporary;
            try {
                temporary = TemporaryNameBeside(local);
                {
                    unique_file file = CreateLocalFile(temporary);
                    const THttpSession session(timeouts, limits);
                    TFileSink sink(file.get());
                    TEndWhenAbandoned check(shared->Abandoned);
                    FetchResumable(session, url, sink, retries, &check);
                }
                const std::lock_guard lock(shared->Lock);
                if (shared->Abandoned) throw ::Error("abandoned", TErrorCategory::Other);
                ReplaceWithTemporary(temporary, local);
                shared->Replaced = true;
            } catch (...) {
                if (!temporary.empty()) DiscardTemporary(temporary);
            }
        })->Start();

    // A user who closes the launcher does not wait for the body: the task ends at its next piece and
    // takes its temporary with it; the target is left as it was.
    const TPumpedWaitEnd ended = WaitUnlessQuitRequested(task->EndedEvent(), std::nullopt);
    const std::lock_guard lock(shared->Lock);
    if (ended == TPumpedWaitEnd::QuitRequested) shared->Abandoned = true;
    return shared->Replaced;
}
