#pragma once
// What one files update tells the outside while it runs: the progress counters the busy panel reads,
// the log lines IT reads (one per fetched file, one per failed fetch with its reason, category and
// code, one for the whole update), and its outcome to the observer the launcher connected
// (update/report/update_outcome.h). The updater calls it at a few points; everything else lives here.
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/error.h"
#include "update/report/fetch_progress.h"
#include "update/report/update_outcome.h"
#include "update/trust/manifest_rules.h"
#include "update/trust/rollout_state.h"

// How a fetched file came: a binary patch from the local version, the deflated object or the plain one.
enum class TFetchVia { Patch, Deflate, Plain };

class TUpdateReport {
  public:
    // The size a file will have when known before its fetch (from a manifest); empty otherwise.
    using TSizeLookup = std::function<std::optional<uint64_t>(const std::wstring& AFileName)>;

    // ASource: the server folder or the service URL the update reads.
    explicit TUpdateReport(std::wstring ASource);

    // The module the update is for; empty for the shared files alone. Before Queued.
    void SetModule(std::wstring AModuleName) { FModuleName = std::move(AModuleName); }
    void SetExpectedSizes(TSizeLookup ALookup) { FExpectedSizes = std::move(ALookup); }
    // Where the outcome reads the bytes the workstation's store served (the source counts them).
    void CountStoreBytes(std::function<uint64_t()> ARead) { FStoreBytes = std::move(ARead); }
    std::shared_ptr<const TFetchProgress> Progress() const { return FProgress; }

    // UI thread, while the update prepares.
    void Listed(size_t ALocalFiles, size_t AServerFiles);
    // Where release control placed the workstation: one "rollout" line (ring, number, the rollout
    // document's serial, the release taken). UI thread, before the fetches.
    void RolloutTaken(const TRolloutState& AState);
    // Answers whether the file's size was known before its fetch (the TFetch must be told).
    bool Queued(const std::wstring& AFileName);
    // The update ended before any fetch could start (the listing failed).
    void Abandoned(std::exception_ptr AReason);
    // UI thread, once every fetch has ended. AVerification: what the release check refused, if
    // anything; AAltered: how many fetched files it refused.
    void Completed(const TVerificationReport& AVerification = {}, size_t AAltered = 0);

    // One fetch, on its pool thread: created when it starts, told how it ended.
    class TFetch {
      public:
        TFetch(TUpdateReport& AReport, std::wstring AFileName, bool ASizeKnown);
        IFetchObserver& Observer() { return FObserver; }
        // AWireBytes: every body byte that crossed the wire for the file (a refused patch's included).
        void Fetched(TFetchVia AVia, uint64_t AWireBytes);
        void Failed(std::exception_ptr AReason);

      private:
        TUpdateReport& FReport;
        std::wstring FFileName;
        TFetchProgress::TFileObserver FObserver;
        uint64_t FStart;
    };

  private:
    TUpdateOutcome Outcome() const;

    std::wstring FModuleName;
    const std::wstring FSource;
    const uint64_t FStart;
    TSizeLookup FExpectedSizes;
    std::function<uint64_t()> FStoreBytes;
    std::shared_ptr<TFetchProgress> FProgress = std::make_shared<TFetchProgress>();
    size_t FListedLocal = 0;
    size_t FListedServer = 0;
    uint32_t FQueued = 0;
    // Where release control placed the workstation for this update, for its fleet report.
    TRolloutState FRollout;
    std::atomic<uint32_t> FFetched{0};
    std::atomic<uint32_t> FFailed{0};
    std::atomic<uint64_t> FBytes{0};
    std::atomic<uint64_t> FWireBytes{0};
    std::atomic<uint32_t> FPatched{0};
    std::atomic<uint32_t> FDeflated{0};
    // The first failed fetch: what the outcome of a failed update names. Its text leads with the file.
    mutable std::mutex FFailureLock;
    std::optional<TFailureInfo> FFirstFailure;
};
