#pragma once
// Keeps the report store usable without ever standing in the way of downloads: a database that
// cannot be opened leaves the fleet routes answering 503 (reason in /healthz and the log) while the
// files are served, and is tried again every `retry`. A damaged database (not a database, corrupt
// pages) is moved aside to "<file>.damaged-<UTC time>" (with its -wal) and a new, empty one started;
// a read-only or unreachable one is left as it is. A database deleted or replaced while in use is
// noticed at the next write or check and opened afresh at its path.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/fileservice/fleet/store.h"

namespace fleet {

class StoreKeeper {
  public:
    using Log = std::function<void(const std::string&)>;
    // Opens (or recovers) the store now; never throws for a store that cannot be had.
    StoreKeeper(std::string path, StoreLimits limits, Log log,
                std::chrono::seconds retry = std::chrono::seconds(30));

    // The store in service, or null while there is none (Reason() says why).
    std::shared_ptr<Store> Get();
    // A user of `store` met `error`: a damaged or vanished store is replaced at once, an
    // unreadable or unwritable one is dropped until the next try.
    void Failed(const std::shared_ptr<Store>& store, const StoreError& error);
    // Periodic: retries a missing store (at most every `retry`) and notices a deleted file.
    void Check();

    struct Health {
        bool available = false;
        std::string reason;                 // why not, when not
        std::vector<std::string> warnings;  // what happened to it (moved aside, recreated)
    };
    Health State() const;

  private:
    void OpenLocked(const std::string& why);
    std::string MoveAsideLocked();

    const std::string path_;
    const StoreLimits limits_;
    const Log log_;
    const std::chrono::seconds retry_;
    mutable std::mutex mutex_;
    std::shared_ptr<Store> store_;
    std::string reason_;
    std::vector<std::string> warnings_;  // the latest few
    std::chrono::steady_clock::time_point lastTry_;
};

}  // namespace fleet
