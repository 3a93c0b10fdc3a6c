#include "update/transport/listing_cache.h"

#include <memory>
#include <mutex>

namespace {

struct TEntry {
    std::wstring URL;
    TCachedListing Listing;
};

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}

std::optional<TEntry>& Entry() {
    static std::optional<TEntry> entry;
    return entry;
}

// An entity tag goes back to the server in a request header: visible characters only.
bool IsUsableETag(const std::wstring& etag) {
    if (etag.size() < 2 || etag.back() != L'"') return false;
    for (const wchar_t c : etag)
        if (c < 0x21 || c > 0x7e) return false;
    return true;
}

}  // namespace

std::optional<TCachedListing> ListingCache::Find(const std::wstring& AURL) {
    std::lock_guard guard(Lock());
    if (!Entry() || Entry()->URL != AURL) return std::nullopt;
    return Entry()->Listing;
}

void ListingCache::Keep(const std::wstring& AURL, const std::wstring& AETag, const TFilesInfoDTO& AFiles) {
    TCachedListing listing;
    const bool usable = IsUsableETag(AETag);
    if (usable) {
        listing.ETag = AETag;
        listing.Files.reserve(AFiles.size());
        for (const auto& file : AFiles) {
            // A list with an empty position was not decoded whole: nothing to keep.
            if (!file) return Keep(AURL, L"", {});
            listing.Files.emplace_back(file->FileName(), file->Age());
        }
    }
    std::lock_guard guard(Lock());
    if (usable)
        Entry() = TEntry{AURL, std::move(listing)};
    else if (Entry() && Entry()->URL == AURL)
        Entry().reset();
}

void ListingCache::Restore(const TCachedListing& AEntry, TFilesInfoDTO& AList) {
    AList.reserve(AEntry.Files.size());
    for (const auto& [name, age] : AEntry.Files) AList.push_back(std::make_unique<TFileInfoDTO>(name, age));
}
