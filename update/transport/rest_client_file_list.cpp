#include "base/error.h"
#include "base/string_convert.h"
#include "update/transport/http_request.h"
#include "update/transport/listing_cache.h"
#include "update/transport/request_retries.h"
#include "update/transport/rest_client.h"
#include "update/transport/url_encoding.h"

TRESTClientFileList::TRESTClientFileList(const std::wstring& AURL)
    : FURL(AURL), FError(std::make_unique<TFileInfoErrorDTO>()) {}

TRESTClientFileList::~TRESTClientFileList() { TFilesInfoDTOHelper::FreeAll(FFiles); }

bool TRESTClientFileList::Execute(const std::wstring& AFolder, const std::wstring& AMask, bool ARecursive) {
    const THttpSession session(FTimeouts, FLimits);
    return Execute(session, AFolder, AMask, ARecursive);
}

bool TRESTClientFileList::Execute(const THttpSession& ASession, const std::wstring& AFolder,
                                  const std::wstring& AMask, bool ARecursive) {
    TFilesInfoDTOHelper::FreeAll(FFiles);
    const std::wstring url = FolderListURL(FURL, AFolder, AMask, ARecursive);
    const std::optional<TCachedListing> cached = ListingCache::Find(url);
    TRequestRetries attempts(FRetries, &ASession);
    const uint64_t limit = ASession.Limits().ListingBytes;
    for (;;) {
        try {
            THttpRequest request(ASession, url, cached ? L"If-None-Match: " + cached->ETag + L"\r\n" : L"",
                                 TErrorCategory::Listing);
            if (attempts.WaitAfterAnswer(request)) continue;
            const DWORD status = request.StatusCode();
            if (status == 304 && cached) {
                ListingCache::Restore(*cached, FFiles);
                return FError->Status() == 0;
            }
            if (status >= 500)
                throw ::Error(WideToUtf8(ShortText(request.StatusLine())), TErrorCategory::Server,
                              HttpStatusCode(status));
            if (status < 300) {
                // Past the limit nothing more is read, and nothing is listed: the update fetches nothing.
                const std::wstring text = request.ReadBodyText(limit, ListingTooLargeText(limit));
                TFilesInfoDTOHelper::FromJSON(FFiles, text);
                ListingCache::Keep(url, request.Header(WINHTTP_QUERY_ETAG), FFiles);
            } else {
                // Decoded first and swapped in after, so the client always holds one valid record.
                FError = RecordFromJSON<TFileInfoErrorDTO>(
                    request.ReadBodyText(kErrorBodyLimit, "error body too large"));
            }
            return FError->Status() == 0;
        } catch (const TTransportError& e) {
            if (attempts.WaitAfterFailure(e)) continue;
            throw;
        }
    }
}

TFileInfoErrorDTO* TRESTClientFileList::Error() const { return FError.get(); }

TFileInfoDTO* TRESTClientFileList::GetItem(int AIndex) const {
    if (AIndex < 0 || AIndex >= Count()) return nullptr;
    return FFiles[static_cast<size_t>(AIndex)].get();
}

int TRESTClientFileList::Count() const { return static_cast<int>(FFiles.size()); }
