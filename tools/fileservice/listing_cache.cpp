#include "tools/fileservice/listing_cache.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <set>
#include <unordered_map>

#include "tools/fileservice/listing_rules.h"
#include "tools/fileservice/served_file.h"
#include "common/hex.h"
#include "common/instant.h"

namespace fileservice {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kRenderedKept = 32;
// After a failed walk the next one comes this soon, then twice as late each time, up to the last.
constexpr std::chrono::milliseconds kFirstRetry{1000}, kLastRetry{30000};
// Events come in bursts (a copy of a release touches every file): one walk after the burst.
constexpr auto kCoalesce = std::chrono::milliseconds(100);
// A file that is not settled yet is looked at again after this long (or the settle time, if longer),
// then twice as late each time it is still not settled, up to the last: a file a writer holds open
// for hours costs a few walks, not a walk after every other.
constexpr std::chrono::milliseconds kFirstRecheck{250}, kLastRecheck{30000};
constexpr uint32_t kWatchEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB |
                                  IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                  IN_EXCL_UNLINK;

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool SameChange(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec && a.st_ino == b.st_ino;
}

}  // namespace

struct ListingCache::Entry {
    std::string name;    // backslashes
    std::string folded;  // FoldName of the name with "/" between folders, the index's key
    std::string age;
    struct stat info;
};

struct ListingCache::Snapshot {
    size_t generation = 0;
    std::time_t changedAt = 0;   // wall clock when this content was first seen
    std::vector<Entry> entries;  // settled files, sorted by name
};

struct ListingCache::Rendered {
    size_t generation;
    std::string key;
    std::shared_ptr<const RenderedListing> listing;
};

// A file seen changed and not settled yet: what it looked like, since when, and when to look again.
struct ListingCache::Pending {
    struct stat info;
    Clock::time_point unchangedSince, due;
    Clock::duration backoff;
};

// What the walks alone touch (under walkMutex_).
struct ListingCache::Watch {
    int fd = -1;
    std::unordered_map<int, std::string> folders;  // watch descriptor -> relative folder ("" root), "/"
    std::set<std::string> writing;                 // modified and not yet closed ("/" between folders)
    std::set<std::string> closed;                  // closed by a writer, or renamed into place, since then
    bool warned = false;                           // about running out of watches
    bool changed = false;                          // events read that a walk has not seen yet
    // Files seen changed and not settled yet ("/" between folders).
    std::map<std::string, Pending> unsettled;
    ~Watch() {
        if (fd >= 0) ::close(fd);
    }
};

ListingCache::ListingCache(const FileService& service, ListingCacheOptions options)
    : service_(service), options_(options), watch_(std::make_unique<Watch>()) {
    watch_->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    Refresh(false);
    thread_ = std::thread([this] { WatchLoop(); });
}

ListingCache::~ListingCache() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopSignal_.notify_all();
    thread_.join();
}

size_t ListingCache::Walks() const {
    std::lock_guard lock(mutex_);
    return walks_;
}

ListingHealth ListingCache::Health() const {
    std::lock_guard lock(mutex_);
    return health_;
}

ListingCache::WalkResult ListingCache::Walk(Clock::time_point& recheck) {
    const fs::path& root = service_.Root();
    std::shared_ptr<const Snapshot> previous;
    {
        std::lock_guard lock(mutex_);
        previous = snapshot_;
    }
    std::unordered_map<std::string_view, const Entry*> before;
    if (previous)
        for (const Entry& e : previous->entries) before.emplace(e.name, &e);

    WalkResult result;
    auto next = std::make_shared<Snapshot>();
    auto index = std::make_shared<NameIndex>();
    if (previous) next->entries.reserve(previous->entries.size() + previous->entries.size() / 8);
    const auto now = Clock::now();
    const auto wallNow = std::chrono::system_clock::now();
    recheck = Clock::time_point::max();
    std::map<std::string, Pending> unsettled;
    LeftOut leftOut;
    std::vector<std::string> closedAndListed;  // taken out of watch_->closed once the walk is kept
    // Files found but not listed (temporaries, release control, new ones not settled yet): still
    // downloadable by name. Folded name -> name ("/" between folders) and when it was written.
    std::unordered_map<std::string, std::pair<std::string, struct timespec>> unlisted;
    const auto noteUnlisted = [&](const std::string& relative, const struct timespec& written) {
        auto [it, added] = unlisted.try_emplace(FoldName(relative), relative, written);
        if (!added && Preferred(relative, written, it->second.first, it->second.second))
            it->second = {relative, written};
    };
    const auto fail = [&](const fs::path& where, const std::error_code& error) {
        result.failure = "cannot read " +
                         (where == root ? std::string("the served folder")
                                        : where.lexically_relative(root).generic_string()) +
                         ": " + error.message();
        return std::move(result);
    };

    const auto watchFolder = [&](const fs::path& folder) {
        if (watch_->fd < 0) return;
        const int wd = inotify_add_watch(watch_->fd, folder.c_str(), kWatchEvents);
        if (wd >= 0) {
            watch_->folders[wd] = folder.lexically_relative(root).generic_string();
        } else if (errno == ENOSPC && !watch_->warned) {
            // Changes in the folders left unwatched show only at the next rescan.
            watch_->warned = true;
            std::fprintf(stderr,
                         "aurevia-fileservice: out of inotify watches (raise fs.inotify.max_user_watches); "
                         "some folders are only rescanned\n");
        }
    };
    // Every error but a folder or file removed while the walk went by fails the whole walk: a listing
    // with a part of the tree missing would tell every workstation to do without those files.
    std::vector<fs::path> folders{root};
    std::unordered_map<std::string, std::string> folderNames;  // folded -> on disk, byte-wise smallest
    while (!folders.empty()) {
        const fs::path folder = std::move(folders.back());
        folders.pop_back();
        watchFolder(folder);
        std::error_code ec;
        fs::directory_iterator it(folder, ec);
        if (ec) {
            if (folder != root && ec == std::errc::no_such_file_or_directory) continue;
            return fail(folder, ec);
        }
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            const fs::directory_entry& entry = *it;
            const std::string relative = entry.path().lexically_relative(root).generic_string();
            std::error_code typeError;
            // The type read with the folder's entries, where the file system gives it: no stat.
            const bool link = entry.is_symlink(typeError);
            const bool folder = !typeError && !link && entry.is_directory(typeError);
            if (typeError == std::errc::no_such_file_or_directory) continue;
            if (typeError) return fail(entry.path(), typeError);
            if (folder && IsReleaseControlName(relative)) continue;  // asked for by exact name
            if (folder || (link && fs::is_directory(entry.path(), typeError))) {
                if (!IsUtf8(relative)) {
                    // Nothing under it could be named in a listing either.
                    leftOut.Add(relative, "the name is not UTF-8", true);
                    continue;
                }
                // Folder links are indexed, not followed: the walk cannot loop or leave the root.
                auto [known, added] = folderNames.try_emplace(FoldName(relative), relative);
                if (!added && relative < known->second) known->second = relative;
                if (!link) folders.push_back(entry.path());
                continue;
            }
            std::string whyNot;
            auto file = service_.Listable(entry, &whyNot);
            if (!file) {
                // Not a file, a name the launcher cannot ask for, or a link that leaves the root or
                // leads nowhere: left out, with a warning but for what is not a file at all or a
                // temporary. A file that cannot be looked at: the walk fails.
                if (!whyNot.empty() && !IsTemporaryName(relative)) leftOut.Add(relative, whyNot);
                struct stat info {};
                if (!link && entry.is_regular_file(typeError) && ::stat(entry.path().c_str(), &info) != 0 &&
                    errno != ENOENT)
                    return fail(entry.path(), std::error_code(errno, std::generic_category()));
                continue;
            }
            if (IsTemporaryName(relative) || IsReleaseControlName(relative)) {
                noteUnlisted(relative, file->info.st_mtim);
                continue;
            }
            const Entry* old = nullptr;
            if (const auto found = before.find(file->name); found != before.end()) old = found->second;
            if (old && SameChange(old->info, file->info)) {
                next->entries.push_back(*old);
                continue;
            }
            // Changed or new: listed once its writer closed it; without such an event (the first walk,
            // a rescan of a file system without events), once its content is older than the settle
            // time or has been seen unchanged for as long.
            const auto changed =
                std::chrono::system_clock::time_point(std::chrono::seconds(file->info.st_mtim.tv_sec) +
                                                      std::chrono::nanoseconds(file->info.st_mtim.tv_nsec));
            // A link is as settled as the file it points to, which is where the writes happen.
            std::error_code linkError;
            const fs::path target = link ? fs::canonical(entry.path(), linkError) : entry.path();
            const std::string written = link ? target.lexically_relative(root).generic_string() : relative;
            const auto seen = watch_->unsettled.find(relative);
            const bool seenUnchanged =
                seen != watch_->unsettled.end() && SameChange(seen->second.info, file->info);
            const auto unchangedSince = seenUnchanged ? seen->second.unchangedSince : now;
            const bool settled = !watch_->writing.contains(written) &&
                                 (watch_->closed.contains(written) || wallNow - changed >= options_.settle ||
                                  now - unchangedSince >= options_.settle);
            if (settled) {
                // Listed only if the service can open it as every download will: a file it cannot
                // read would be listed to every workstation and then refused to each of them.
                const OpenedFile probe = OpenServedFile(target.c_str());
                if (probe.Refused()) {
                    if (probe.error == ENOENT) continue;  // removed since the folder was read
                    leftOut.Add(relative, "the service cannot read it: " + probe.Why());
                    continue;
                }
                ::close(probe.fd);
                closedAndListed.push_back(written);
                next->entries.push_back({std::move(file->name), FoldName(relative),
                                         FormatLocalAge(file->info.st_mtim), file->info});
                continue;
            }
            // Looked at again when due, each time twice as late while it stays unsettled (held open by
            // a writer, or still changing where no events tell): never a walk right after a walk.
            Pending pending{file->info, unchangedSince, {}, {}};
            if (seen != watch_->unsettled.end() && now < seen->second.due) {
                pending.due = seen->second.due;
                pending.backoff = seen->second.backoff;
            } else {
                pending.backoff = seen != watch_->unsettled.end()
                                      ? std::min<Clock::duration>(seen->second.backoff * 2, kLastRecheck)
                                      : std::max<Clock::duration>(options_.settle, kFirstRecheck);
                pending.due = now + pending.backoff;
            }
            recheck = std::min(recheck, pending.due);
            unsettled[relative] = pending;
            if (old)
                next->entries.push_back(*old);  // the last settled form stays listed meanwhile
            else
                noteUnlisted(relative, file->info.st_mtim);
        }
        if (ec) return fail(folder, ec);
    }
    watch_->unsettled = std::move(unsettled);
    for (const std::string& name : closedAndListed) watch_->closed.erase(name);

    leftOut.AppendTo(result.warnings);
    KeepOnePerName(next->entries, result.warnings);
    index->files.reserve(next->entries.size() + unlisted.size());
    for (const Entry& e : next->entries) {
        std::string relative = e.name;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        index->files.emplace(e.folded, std::move(relative));
    }
    for (auto& [folded, found] : unlisted) index->files.try_emplace(folded, std::move(found.first));
    index->folders = std::move(folderNames);
    result.index = std::move(index);

    const auto sameEntries = [](const std::vector<Entry>& a, const std::vector<Entry>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Entry& x, const Entry& y) {
            return x.name == y.name && x.age == y.age && SameChange(x.info, y.info);
        });
    };
    if (previous && sameEntries(previous->entries, next->entries)) {
        result.snapshot = previous;
        return result;
    }
    next->generation = previous ? previous->generation + 1 : 1;
    next->changedAt = std::chrono::system_clock::to_time_t(wallNow);
    result.snapshot = std::move(next);
    return result;
}

bool ListingCache::EventsPending() const {
    if (watch_->fd < 0) return false;
    pollfd p{watch_->fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

bool ListingCache::ReadEvents() {
    alignas(inotify_event) char buffer[64 * 1024];
    ssize_t got;
    while (watch_->fd >= 0 && (got = ::read(watch_->fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                // Events were lost: what is still being written shows again as a recent change.
                watch_->writing.clear();
                watch_->closed.clear();
                watch_->changed = true;
                continue;
            }
            if (event->mask & IN_IGNORED) {
                watch_->folders.erase(event->wd);
                watch_->changed = true;
                continue;
            }
            // A write changes no listing: the file is not settled until its writer closes it, and its
            // last settled form stays listed meanwhile. Only the other events are worth a walk, so
            // a writer that keeps writing (a slow copy) costs no walk per write.
            if (!(event->mask & IN_MODIFY)) watch_->changed = true;
            const auto folder = watch_->folders.find(event->wd);
            if (folder == watch_->folders.end() || event->len == 0) continue;
            const std::string name = folder->second.empty() || folder->second == "."
                                         ? std::string(event->name)
                                         : folder->second + "/" + event->name;
            if (event->mask & IN_MODIFY) {
                watch_->writing.insert(name);
                watch_->closed.erase(name);
            } else if (event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
                watch_->writing.erase(name);
                watch_->closed.insert(name);
            } else if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
                watch_->writing.erase(name);
                watch_->closed.erase(name);
            }
        }
    }
    return watch_->changed;
}

void ListingCache::Refresh(bool onlyIfChanged) {
    std::lock_guard walking(walkMutex_);
    // Everything reported so far is read before the walk, so the walk sees at least those changes.
    // Until it is published, a request must wait for it rather than answer from the old walk.
    refreshing_ = true;
    if (!ReadEvents() && onlyIfChanged) {
        refreshing_ = false;
        return;
    }
    watch_->changed = false;
    Clock::time_point recheck;
    WalkResult result = Walk(recheck);
    std::lock_guard lock(mutex_);
    ++walks_;
    refreshing_ = false;
    if (!result.snapshot) {
        // The listing in service stays; the walk is tried again soon, then less and less often.
        retry_ = std::clamp(retry_ * 2, kFirstRetry, kLastRetry);
        recheck_ = Clock::now() + retry_;
        if (health_.walkOk) {
            health_.failingSince = std::time(nullptr);
            std::fprintf(
                stderr, "aurevia-fileservice: walk of %s failed (%s); %s until a walk succeeds\n",
                service_.Root().c_str(), result.failure.c_str(),
                snapshot_ ? ("the listing of " + UtcText(Instant{snapshot_->changedAt}) + " stays in service")
                                .c_str()
                          : "no listing is served");
        }
        health_.walkOk = false;
        health_.reason = std::move(result.failure);
        return;
    }
    if (!health_.walkOk)
        std::fprintf(stderr, "aurevia-fileservice: walk of %s succeeded again, after failing since %s\n",
                     service_.Root().c_str(), UtcText(Instant{health_.failingSince}).c_str());
    for (const std::string& warning : result.warnings)
        if (std::find(health_.warnings.begin(), health_.warnings.end(), warning) == health_.warnings.end())
            std::fprintf(stderr, "aurevia-fileservice: %s\n", warning.c_str());
    health_ = {true, {}, 0, std::move(result.warnings)};
    retry_ = {};
    snapshot_ = std::move(result.snapshot);
    recheck_ = recheck;
    service_.UseIndex(std::move(result.index));
}

void ListingCache::WatchLoop() {
    auto nextRescan = options_.rescan.count() ? Clock::now() + options_.rescan : Clock::time_point::max();
    for (;;) {
        Clock::time_point recheck;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            recheck = recheck_;
        }
        const auto now = Clock::now();
        if (now >= nextRescan || now >= recheck) {
            if (now >= nextRescan) nextRescan = now + options_.rescan;
            Refresh(false);
            continue;
        }
        if (EventsPending()) {
            // Events come in bursts (a copy of a release touches every file): one walk after it.
            std::this_thread::sleep_for(kCoalesce);
            Refresh(true);
            continue;
        }
        // Wait for events, the next walk, or a stop (checked at least every 200 ms).
        const auto until = std::min({recheck, nextRescan, now + std::chrono::milliseconds(200)});
        const int wait =
            std::max(0, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count()));
        if (watch_->fd < 0) {
            std::unique_lock lock(mutex_);
            stopSignal_.wait_for(lock, std::chrono::milliseconds(wait), [&] { return stopping_; });
            continue;
        }
        pollfd p{watch_->fd, POLLIN, 0};
        ::poll(&p, 1, wait);
    }
}

std::shared_ptr<const RenderedListing> ListingCache::Get(std::string_view folder, std::string_view mask,
                                                         bool recursive) {
    const std::string prefix = service_.ListedFolder(folder);
    // A change already reported by the kernel is walked before answering: a listing asked for after
    // a file was written reflects it (once settled).
    if (EventsPending() || refreshing_) Refresh(true);
    const std::string effectiveMask = mask.empty() ? "*" : std::string(mask);
    const std::string key = Lower(prefix) + '\n' + effectiveMask + '\n' + (recursive ? "r" : "");
    std::shared_ptr<const Snapshot> snapshot;
    {
        std::lock_guard lock(mutex_);
        snapshot = snapshot_;
        // No walk has succeeded yet: no listing at all rather than an empty or partial one.
        if (!snapshot)
            throw Refusal{503, "Service Unavailable", "The folder cannot be listed: " + health_.reason};
        for (auto it = rendered_.begin(); it != rendered_.end(); ++it) {
            if (it->key != key || it->generation != snapshot->generation) continue;
            auto listing = it->listing;
            std::rotate(rendered_.begin(), it, it + 1);
            return listing;
        }
    }
    std::vector<ListedFile> files;
    const std::string start = prefix.empty() ? std::string() : prefix + "\\";
    for (auto it = std::lower_bound(snapshot->entries.begin(), snapshot->entries.end(), start,
                                    [](const Entry&e, const std::string&s) { return e.name < s; });
         it != snapshot->entries.end() && it->name.starts_with(start); ++it) {
        const std::string_view rest = std::string_view(it->name).substr(start.size());
        if (!recursive && rest.find('\\') != std::string_view::npos) continue;
        const size_t slash = rest.rfind('\\');
        if (!MaskMatches(effectiveMask, slash == std::string_view::npos ? rest : rest.substr(slash + 1)))
            continue;
        files.push_back({it->name, it->age});
    }
    auto listing = std::make_shared<const RenderedListing>(ListingJson(files), snapshot->changedAt);
    std::lock_guard lock(mutex_);
    if (snapshot_ == snapshot) {
        std::erase_if(rendered_, [&](const Rendered& r) {
            return r.key == key || r.generation != snapshot->generation;
        });
        rendered_.insert(rendered_.begin(), {snapshot->generation, key, listing});
        if (rendered_.size() > kRenderedKept) rendered_.pop_back();
    }
    return listing;
}

}  // namespace fileservice
