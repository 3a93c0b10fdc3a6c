#include "update/report/fetch_progress.h"

void TFetchProgress::AddFile(std::optional<uint64_t> AExpectedSize) {
    FFiles.fetch_add(1, std::memory_order_relaxed);
    if (AExpectedSize) {
        FTotalBytes.fetch_add(*AExpectedSize, std::memory_order_relaxed);
        FSizesKnown.fetch_add(1, std::memory_order_relaxed);
    }
}

TProgressFigures TFetchProgress::Figures() const {
    TProgressFigures figures;
    figures.Files = FFiles.load(std::memory_order_relaxed);
    figures.Finished = FFinished.load(std::memory_order_relaxed);
    figures.Bytes = FBytes.load(std::memory_order_relaxed);
    // The total means something only once every queued file has told its size.
    if (FSizesKnown.load(std::memory_order_relaxed) >= figures.Files)
        figures.TotalBytes = FTotalBytes.load(std::memory_order_relaxed);
    return figures;
}

void TFetchProgress::TFileObserver::Begin(uint64_t offset, std::optional<uint64_t> total) {
    // A restart writes from `offset` again: what was counted beyond it will come a second time.
    if (offset >= FCounted) {
        FProgress.FBytes.fetch_add(offset - FCounted, std::memory_order_relaxed);
    } else {
        FProgress.FBytes.fetch_sub(FCounted - offset, std::memory_order_relaxed);
    }
    FCounted = offset;
    if (total && !FSizeCounted) {
        FSizeCounted = true;
        FProgress.FTotalBytes.fetch_add(*total, std::memory_order_relaxed);
        FProgress.FSizesKnown.fetch_add(1, std::memory_order_relaxed);
    }
}

void TFetchProgress::TFileObserver::Received(const char*, size_t size) {
    FCounted += size;
    FProgress.FBytes.fetch_add(size, std::memory_order_relaxed);
}

void TFetchProgress::TFileObserver::Finished() {
    // A fetch that failed before its source told the size brings nothing more: it must not keep the
    // total unknown for the rest of the update.
    if (!FSizeCounted) {
        FSizeCounted = true;
        FProgress.FSizesKnown.fetch_add(1, std::memory_order_relaxed);
    }
    FProgress.FFinished.fetch_add(1, std::memory_order_relaxed);
}
