#include "update/source/service_source.h"

#include "base/string_convert.h"
#include "update/transport/http_request.h"
#include "update/transport/resumable_fetch.h"
#include "update/transport/url_encoding.h"
#include "update/stream/byte_sink.h"

TServiceSource::TServiceSource(std::wstring AURL, const TTransferLimits& ALimits,
                               const TRESTTimeouts& ATimeouts, const TRESTRetries& ARetries)
    : FURL(std::move(AURL)),
      FRetries(ARetries),
      FSession(std::make_unique<THttpSession>(ATimeouts, ALimits)) {}

TServiceSource::~TServiceSource() = default;

std::vector<TSourceFile> TServiceSource::List() {
    TRESTClientFileList client(FURL);
    client.SetRetries(FRetries);
    // A refusal is no error: it leaves the list empty, and the update completes without fetching.
    client.Execute(*FSession, L"\\", L"*.*", true);
    std::vector<TSourceFile> listed;
    listed.reserve(static_cast<size_t>(client.Count()));
    for (int i = 0; i < client.Count(); ++i) {
        if (const TFileInfoDTO* item = client.GetItem(i)) listed.push_back({item->FileName(), item->Age()});
    }
    return listed;
}

std::string TServiceSource::Read(const std::wstring& AName, uint64_t ALimit) {
    TMemorySink sink(ALimit, "larger than " + std::to_string(ALimit) + " bytes");
    Fetch(AName, sink, nullptr);
    return sink.Take();
}

void TServiceSource::Fetch(const std::wstring& ARemoteName, IByteSink& ASink, IFetchObserver* AObserver) {
    OutputDebugStringW((std::wstring(92, L'>') + ARemoteName).c_str());
    FetchResumable(*FSession, DownloadURL(FURL, ARemoteName), ASink, FRetries, AObserver);
}

void TServiceSource::FetchFrom(const std::wstring& ARemoteName, uint64_t AFrom, IByteSink& ASink,
                               IFetchObserver* AObserver) {
    FetchResumable(*FSession, DownloadURL(FURL, ARemoteName), ASink, FRetries, AObserver, AFrom);
}
