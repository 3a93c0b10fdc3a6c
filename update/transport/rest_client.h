#pragma once
// The client side of the HTTP file service: the list request ("folderlist") and the download
// request ("download?file="). Alone, each call makes a WinHTTP session that lives for that call; an
// update shares one session among all its calls (update/source/service_source.h).
#include <windows.h>

#include <memory>
#include <cstdint>
#include <string>

#include "update/records/file_info.h"
#include "update/transport/proxy_setting.h"
#include "update/transport/retry_policy.h"

class IFetchObserver;
class THttpSession;

// Timeouts of one request, in milliseconds. Both default to 30 000: a service that accepts the
// connection but never answers fails the request after that long.
struct TRESTTimeouts {
    DWORD ConnectMs = 30000;
    DWORD ResponseMs = 30000;
};

// The bounds of what one update receives, so that no server can hold, bloat or stall the launcher.
// Aurevia.ini's section "Limites" can change each (launcher/settings/configuration.h).
struct TTransferLimits {
    // A listing larger than this fails the update before anything is fetched.
    uint64_t ListingBytes = 64u << 20;
    // A body that brings fewer than MinBytes within MinWindowMs fails like a cut download (and, like
    // a timeout, is not retried: a server that slow is broken rather than busy).
    uint64_t MinBytes = 1024;
    DWORD MinWindowMs = 30000;
    // The whole update (listing, retry waits, every fetch) ends by then; 0 sets no deadline.
    DWORD DeadlineMs = 15 * 60 * 1000;
    // At most this many requests of one update are under way at once, so it holds at most this many
    // connections to its server (reused from one request to the next), however many fetches its
    // pool runs; 0 sets no cap. Aurevia.ini [Rede] "Conexoes".
    unsigned Connections = 6;
    // How the update's requests reach the server. Aurevia.ini [Rede] "Proxy".
    TProxySetting Proxy;
};

// The message of a listing past TTransferLimits::ListingBytes.
std::string ListingTooLargeText(uint64_t ALimit);
// The message of an update past its deadline.
std::string DeadlineText(DWORD ADeadlineMs);

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
    // The same through a session an update shares (its timeouts and limits then apply, not the
    // client's).
    bool Execute(const THttpSession& ASession, const std::wstring& AFolder, const std::wstring& AMask,
                 bool ARecursive);

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
    void SetLimits(const TTransferLimits& ALimits) { FLimits = ALimits; }

  private:
    std::wstring FURL;
    std::unique_ptr<TFileInfoErrorDTO> FError;
    TFilesInfoDTO FFiles;
    TRESTTimeouts FTimeouts;
    TRESTRetries FRetries;
    TTransferLimits FLimits;
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

    // The same fetch as a task of the process's pool while the calling thread keeps dispatching its
    // window messages. Records no error and writes no debugger line. Unlike Download, the body is
    // written beside ALocalFileName and replaces it only once complete: a failure leaves the file
    // there as it was. A quit request during the wait ends the call at once with false (the request
    // is posted again); the fetch stops at its next piece and nothing of it replaces the file.
    bool ThreadedDownload(const std::wstring& ARemoteFileName, const std::wstring& ALocalFileName);

    // The message of the last failed Download; empty until one fails, never cleared.
    const std::wstring& Error() const { return FError; }
    const std::wstring& BaseURL() const { return FBaseURL; }

    void SetTimeouts(const TRESTTimeouts& ATimeouts) { FTimeouts = ATimeouts; }
    // How a busy answer or a broken connection is retried (update/retry_policy.h); a cut body
    // continues where it stopped when the service allows it (update/resumable_fetch.h).
    void SetRetries(const TRESTRetries& ARetries) { FRetries = ARetries; }
    void SetLimits(const TTransferLimits& ALimits) { FLimits = ALimits; }

  private:
    std::wstring FBaseURL;
    std::wstring FError;
    TRESTTimeouts FTimeouts;
    TRESTRetries FRetries;
    TTransferLimits FLimits;
};
