#pragma once
// The client side of the HTTP file service: the list request ("folderlist") and the download
// request ("download?file="), each on a WinHTTP session of its own that lives for one request.
#include <windows.h>

#include <memory>
#include <string>

#include "update/records/file_info.h"
#include "update/client/retry_policy.h"

class IFetchObserver;

// Timeouts of one request, in milliseconds. Both default to 30 000: a service that accepts the
// connection but never answers fails the request after that long.
struct TRESTTimeouts {
    DWORD ConnectMs = 30000;
    DWORD ResponseMs = 30000;
};

// Asks the service for the files under a folder and keeps the answer. Runs on the UI thread and
// blocks it until the answer is complete or a timeout ends the request.
class TRESTClientFileList {
  public:
    explicit TRESTClientFileList(const std::wstring& AURL);
    ~TRESTClientFileList();
    TRESTClientFileList(const TRESTClientFileList&) = delete;
    TRESTClientFileList& operator=(const TRESTClientFileList&) = delete;

    // One list request. True when the client's error record has status 0. A refusal (status 300
    // to 499 with an error record) replaces the error record; transport failures, server errors
    // (500 and above) and answers that cannot be decoded raise Error.
    bool Execute(const std::wstring& AFolder, const std::wstring& AMask, bool ARecursive);

    // The error record of the last refused request (status 0 until one is refused); owned by the
    // client.
    TFileInfoErrorDTO* Error() const;
    // The record at AIndex, or nullptr outside 0..Count-1 or where the position holds none. Owned
    // by the client; valid until the next Execute or the client's destruction.
    TFileInfoDTO* GetItem(int AIndex) const;
    TFileInfoDTO* operator[](int AIndex) const { return GetItem(AIndex); }
    int Count() const;

    void SetTimeouts(const TRESTTimeouts& ATimeouts) { FTimeouts = ATimeouts; }
    // How a busy answer or a broken connection is retried (update/retry_policy.h).
    void SetRetries(const TRESTRetries& ARetries) { FRetries = ARetries; }

  private:
    std::wstring FURL;
    std::unique_ptr<TFileInfoErrorDTO> FError;
    TFilesInfoDTO FFiles;
    TRESTTimeouts FTimeouts;
    TRESTRetries FRetries;
};

// Fetches single files into local paths. Each call creates, fills and closes its own local file
// and HTTP session; several clients may download at once on different threads.
class TRESTClientDownload {
  public:
    explicit TRESTClientDownload(const std::wstring& AURL);

    // Fetches ARemoteFileName (a name relative to the served root, e.g. Relatorio\Rpt.rav) into
    // ALocalFileName on the calling thread and returns whether a file exists there afterwards.
    // The local file is created (replacing any file) before the request and deleted again when the
    // download fails, with the failure's message kept in Error(). If that deletion fails because
    // the file is missing, access is denied or another process holds it, the deletion error is
    // raised. AObserver, when given, sees the body as it is written (and may end the fetch).
    bool Download(const std::wstring& ARemoteFileName, const std::wstring& ALocalFileName,
                  IFetchObserver* AObserver = nullptr);

    // The same fetch on a thread of its own while the calling thread keeps pumping window messages
    // (in slices of 300 ms). Records no error and writes no debugger line.
    bool ThreadedDownload(const std::wstring& ARemoteFileName, const std::wstring& ALocalFileName);

    // The message of the last failed Download; empty until one fails, never cleared.
    const std::wstring& Error() const { return FError; }
    const std::wstring& BaseURL() const { return FBaseURL; }

    void SetTimeouts(const TRESTTimeouts& ATimeouts) { FTimeouts = ATimeouts; }
    // How a busy answer or a broken connection is retried (update/retry_policy.h); a cut body
    // continues where it stopped when the service allows it (update/resumable_fetch.h).
    void SetRetries(const TRESTRetries& ARetries) { FRetries = ARetries; }

  private:
    std::wstring FBaseURL;
    std::wstring FError;
    TRESTTimeouts FTimeouts;
    TRESTRetries FRetries;
};
