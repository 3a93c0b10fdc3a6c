#pragma once
// What an update has fetched so far, for the busy panel: counters that the fetch tasks move on the
// pool threads and that the UI thread reads whenever it repaints. Atomics only, so a fetch never
// waits for the window; a reading may mix two moments, which a progress line can afford.
#include <atomic>
#include <cstdint>
#include <optional>

#include "update/stream/fetch_observer.h"
#include "update/report/progress_text.h"

class TFetchProgress {
  public:
    // One file queued for fetching; its size when known before the fetch (a manifest's), otherwise
    // the fetch's own Begin tells it.
    void AddFile(std::optional<uint64_t> AExpectedSize = std::nullopt);
    TProgressFigures Figures() const;

    // Follows one fetch of a queued file; on its thread.
    class TFileObserver final : public IFetchObserver {
      public:
        TFileObserver(TFetchProgress& AProgress, bool ASizeCounted)
            : FProgress(AProgress), FSizeCounted(ASizeCounted) {}
        void Begin(uint64_t offset, std::optional<uint64_t> total) override;
        void Received(const char* data, size_t size) override;
        // The fetch has ended, fetched or failed; its bytes stay counted as received.
        void Finished();
        uint64_t Bytes() const { return FCounted; }

      private:
        TFetchProgress& FProgress;
        bool FSizeCounted;
        uint64_t FCounted = 0;
    };

  private:
    std::atomic<uint32_t> FFiles{0};
    std::atomic<uint32_t> FFinished{0};
    std::atomic<uint32_t> FSizesKnown{0};
    std::atomic<uint64_t> FBytes{0};
    std::atomic<uint64_t> FTotalBytes{0};
};
