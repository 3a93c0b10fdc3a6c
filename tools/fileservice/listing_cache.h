#pragma once
// The file lists of the served folder, kept in memory: the tree is walked once per change (inotify
// tells which, plus a periodic rescan for file systems where it cannot), and each distinct listing
// is rendered once per change, with its validators and, when asked for, its gzip form.
//
// A listing shows only settled files, so a copy in progress never shows as a new file of half its
// size. A file is settled when it is not a temporary (see IsTemporaryName), no writer holds it
// modified and unclosed, and either its writer has closed it (or it was renamed into place) since it
// changed, or, where no such event was seen (the first walk, a rescan of a file system without
// events), its modification time is at least the settle time old or the service has seen it
// unchanged for as long. Until a changed file settles the listing keeps its previous entry, if any.
// Writes alone cause no walk (the close that ends them does); a file that stays unsettled (held open
// by a writer, or changing where no events tell) is looked at again on a backoff, never in a loop.
//
// Left out with a warning (in the log and the health answer), as names equal but for case are:
// names that are not UTF-8 (a workstation would make two of them one name), files the service cannot
// open for reading as a download would, and links that lead nowhere or out of the served folder.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/fileservice/file_service.h"
#include "tools/fileservice/listing_rules.h"
#include "tools/fileservice/rendered_listing.h"

namespace fileservice {

struct ListingCacheOptions {
    std::chrono::milliseconds settle{2000};
    std::chrono::seconds rescan{60};  // 0: only on change
};

// How the listing cache is doing, for the health answer.
struct ListingHealth {
    bool walkOk = true;                 // false while the latest walk of the tree failed
    std::string reason;                 // why the latest walk failed ("" while walkOk)
    std::time_t failingSince = 0;       // wall clock of the first failed walk in a row (0 while walkOk)
    std::vector<std::string> warnings;  // what the listings leave out and why, e.g. names equal but for case
};

class ListingCache {
  public:
    // Walks the tree once before returning; then watches it on a thread of its own.
    ListingCache(const FileService& service, ListingCacheOptions options);
    ~ListingCache();
    ListingCache(const ListingCache&) = delete;
    ListingCache& operator=(const ListingCache&) = delete;

    // The listing FileService::List would give for these arguments, from the last walk. Throws
    // Refusal as List does.
    std::shared_ptr<const RenderedListing> Get(std::string_view folder, std::string_view mask,
                                               bool recursive);

    // Number of walks so far (for the health answer).
    size_t Walks() const;

    // The state of the latest walk and the warnings of the listing in service. While a walk fails
    // the listings are those of the last walk that succeeded.
    ListingHealth Health() const;

  private:
    struct Entry;
    struct Snapshot;
    struct Pending;
    struct Watch;
    // What one walk gives: the listing, or why there is none.
    struct WalkResult {
        std::shared_ptr<const Snapshot> snapshot;  // null when the walk failed
        std::shared_ptr<const NameIndex> index;
        std::vector<std::string> warnings;
        std::string failure;
    };

    void WatchLoop();
    bool EventsPending() const;
    // Reads the events reported so far into watch_; true when one of them (or one read earlier)
    // may change a listing. Under walkMutex_.
    bool ReadEvents();
    // Walks the tree and publishes the result; with `onlyIfChanged`, only when ReadEvents says so.
    void Refresh(bool onlyIfChanged);
    WalkResult Walk(std::chrono::steady_clock::time_point& recheck);

    const FileService& service_;
    const ListingCacheOptions options_;
    std::unique_ptr<Watch> watch_;

    std::mutex walkMutex_;  // one walk at a time; guards watch_
    std::atomic<bool> refreshing_{false};
    mutable std::mutex mutex_;
    std::chrono::steady_clock::time_point recheck_ = std::chrono::steady_clock::time_point::max();
    std::condition_variable stopSignal_;
    bool stopping_ = false;
    std::shared_ptr<const Snapshot> snapshot_;
    size_t walks_ = 0;
    ListingHealth health_;
    std::chrono::milliseconds retry_{0};  // after a failed walk, until the next try
    struct Rendered;
    std::vector<Rendered> rendered_;  // small, most recently used first
    std::thread thread_;
};

}  // namespace fileservice
