#pragma once
// The last listing this process received with an ETag, so that the next list request for the same
// URL can send If-None-Match and, answered 304, take its records from here instead of moving and
// decoding the whole listing again. One entry: the launcher asks for one listing (its tile clicks
// and the start-up refresh all ask the same URL). Any thread may use it.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/date_time.h"
#include "update/records/file_info.h"

struct TCachedListing {
    std::wstring ETag;
    std::vector<std::pair<std::wstring, TDateTime>> Files;  // name and age, in the listing's order
};

namespace ListingCache {
// A copy of the entry for this URL, if the last listing kept was of it.
std::optional<TCachedListing> Find(const std::wstring& AURL);
// Keeps AFiles (decoded from an answer that carried AETag) as the entry of AURL, replacing any other
// entry; a blank ETag drops the entry instead.
void Keep(const std::wstring& AURL, const std::wstring& AETag, const TFilesInfoDTO& AFiles);
// Fills AList (expected empty) with new records made from the entry's files.
void Restore(const TCachedListing& AEntry, TFilesInfoDTO& AList);
}  // namespace ListingCache
