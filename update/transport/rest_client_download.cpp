#include <algorithm>
#include <memory>
#include <optional>

#include "base/error.h"
#include "base/handles.h"
#include "base/string_convert.h"
#include "base/win32_error.h"
#include "tasks/task.h"
#include "update/disk/file_operations.h"
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
    // The task copies what it needs; the caller waits for its end, so it touches nothing of ours.
    const std::shared_ptr<ITask> task =
        TTask::New([url = DownloadURL(FBaseURL, ARemoteFileName), local = ALocalFileName,
                    timeouts = FTimeouts, retries = FRetries, limits = FLimits] {
            try {
                unique_file file = CreateLocalFile(local);
                try {
                    const THttpSession session(timeouts, limits);
                    TFileSink sink(file.get());
                    FetchResumable(session, url, sink, retries, nullptr);
                } catch (...) {
                    file.reset();
                    DeleteFileW(local.c_str());
                }
            } catch (...) {
                // The local file could not be created: nothing was requested.
            }
        })->Start();

    WaitDispatchingMessages(task->EndedEvent(), std::nullopt);
    return FileExists(ALocalFileName);
}
