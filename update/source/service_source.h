#pragma once
// The HTTP file service as a source. One source serves one update: all its requests share one
// WinHTTP session, so the listing and every fetch reuse the open connections (and, over https, the
// TLS sessions) instead of opening their own, and the update's deadline and minimum rate hold for
// all of them.
#include <memory>

#include "update/transport/rest_client.h"
#include "update/source/update_source.h"

class THttpSession;

class TServiceSource final : public IUpdateSource {
  public:
    // AURL: the service's base URL, as configured. The deadline of ALimits starts now.
    explicit TServiceSource(std::wstring AURL, const TTransferLimits& ALimits = {},
                            const TRESTTimeouts& ATimeouts = {}, const TRESTRetries& ARetries = {});
    ~TServiceSource() override;

    std::wstring Where() const override { return FURL; }
    // The service's listing of its whole tree; past ALimits.ListingBytes it fails with
    // ListingTooLargeText and reads no further.
    std::vector<TSourceFile> List() override;
    std::string Read(const std::wstring& AName, uint64_t ALimit) override;
    void Fetch(const std::wstring& ARemoteName, IByteSink& ASink, IFetchObserver* AObserver) override;
    void FetchFrom(const std::wstring& ARemoteName, uint64_t AFrom, IByteSink& ASink,
                   IFetchObserver* AObserver) override;
    bool MakesFolders() const override { return false; }

  private:
    const std::wstring FURL;
    const TRESTRetries FRetries;
    std::unique_ptr<THttpSession> FSession;
};
