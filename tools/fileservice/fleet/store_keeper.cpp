#include "tools/fileservice/fleet/store_keeper.h"

#include <ctime>
#include <filesystem>

namespace fleet {

namespace {

constexpr size_t kMostWarnings = 8;

std::string UtcStamp() {
    const time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

}  // namespace

StoreKeeper::StoreKeeper(std::string path, StoreLimits limits, Log log, std::chrono::seconds retry)
    : path_(std::move(path)), limits_(limits), log_(std::move(log)), retry_(retry) {
    const std::lock_guard lock(mutex_);
    OpenLocked("");
}

std::shared_ptr<Store> StoreKeeper::Get() {
    const std::lock_guard lock(mutex_);
    return store_;
}

std::string StoreKeeper::MoveAsideLocked() {
    const std::string aside = path_ + ".damaged-" + UtcStamp();
    std::error_code ec;
    std::filesystem::rename(path_, aside, ec);
    if (ec) return {};
    // The WAL belongs to the damaged file; the shared-memory index is rebuilt from it.
    std::filesystem::rename(path_ + "-wal", aside + "-wal", ec);
    std::filesystem::remove(path_ + "-shm", ec);
    return aside;
}

void StoreKeeper::OpenLocked(const std::string& why) {
    lastTry_ = std::chrono::steady_clock::now();
    const std::string before = reason_;
    store_.reset();
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            store_ = std::make_shared<Store>(path_, limits_);
            if (!reason_.empty() || !why.empty())
                log_("report database " + path_ + " in service again" +
                     (why.empty() ? "" : " (" + why + ")"));
            reason_.clear();
            return;
        } catch (const StoreError& error) {
            reason_ = error.what();
            if (error.kind() != StoreError::Kind::Damaged || attempt > 0) break;
            const std::string aside = MoveAsideLocked();
            if (aside.empty()) {
                reason_ = std::string(error.what()) + "; it could not be moved aside";
                break;
            }
            const std::string warning = "the report database was damaged (" + std::string(error.what()) +
                                        "): kept as " + aside + ", a new one started";
            log_(warning);
            warnings_.push_back(warning);
        }
    }
    if (warnings_.size() > kMostWarnings) warnings_.erase(warnings_.begin());
    // Said once per reason, not at every try.
    if (reason_ != before) log_("reports are not stored (POST /report answers 503): " + reason_);
}

void StoreKeeper::Failed(const std::shared_ptr<Store>& store, const StoreError& error) {
    using Kind = StoreError::Kind;
    const Kind kind = error.kind();
    if (kind != Kind::Damaged && kind != Kind::Gone && kind != Kind::ReadOnly && kind != Kind::Unavailable)
        return;
    const std::lock_guard lock(mutex_);
    if (store_ != store || !store_) return;  // already dealt with
    if (kind == Kind::Gone) {
        const std::string warning = "the report database " + path_ +
                                    " was deleted or replaced while in use: opened afresh at its path";
        log_(warning);
        warnings_.push_back(warning);
        if (warnings_.size() > kMostWarnings) warnings_.erase(warnings_.begin());
        OpenLocked("");
        return;
    }
    if (kind == Kind::Damaged) {
        store_.reset();  // closes it before it is moved
        const std::string aside = MoveAsideLocked();
        const std::string warning =
            "the report database was found damaged in use (" + std::string(error.what()) +
            "): " + (aside.empty() ? "it could not be moved aside" : "kept as " + aside) +
            ", a new one started";
        log_(warning);
        warnings_.push_back(warning);
        if (warnings_.size() > kMostWarnings) warnings_.erase(warnings_.begin());
        OpenLocked("");
        return;
    }
    store_.reset();
    reason_ = error.what();
    log_("reports are not stored (POST /report answers 503): " + reason_);
}

void StoreKeeper::Check() {
    std::shared_ptr<Store> store = Get();
    if (store && !store->StillAtPath()) {
        Failed(store, StoreError(StoreError::Kind::Gone, "deleted"));
        return;
    }
    const std::lock_guard lock(mutex_);
    if (!store_ && std::chrono::steady_clock::now() - lastTry_ >= retry_) OpenLocked("");
}

StoreKeeper::Health StoreKeeper::State() const {
    const std::lock_guard lock(mutex_);
    return {store_ != nullptr, reason_, warnings_};
}

}  // namespace fleet
