// The counters behind the progress line, as the fetches move them.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "update/report/fetch_progress.h"

TEST(FetchProgress, TheTotalIsKnownOnceEveryQueuedFileHasToldItsSize) {
    TFetchProgress progress;
    progress.AddFile();
    progress.AddFile();
    TFetchProgress::TFileObserver first(progress, false), second(progress, false);
    first.Begin(0, 1000);
    first.Received("x", 1);
    EXPECT_EQ(progress.Figures().TotalBytes, std::nullopt) << "the second file's size is not known yet";
    second.Begin(0, 500);
    EXPECT_EQ(progress.Figures().TotalBytes, 1500u);
    EXPECT_EQ(progress.Figures().Bytes, 1u);
    EXPECT_EQ(progress.Figures().Finished, 0u);
}

TEST(FetchProgress, SizesGivenBeforehandCountOnceAndAFetchThatFailsEarlyLeavesTheTotalKnown) {
    TFetchProgress progress;
    progress.AddFile(700);
    progress.AddFile();
    EXPECT_EQ(progress.Figures().TotalBytes, std::nullopt);
    TFetchProgress::TFileObserver known(progress, true), failing(progress, false);
    known.Begin(0, 700);  // the source tells it again: not counted twice
    failing.Finished();   // failed before the source said anything
    const TProgressFigures figures = progress.Figures();
    EXPECT_EQ(figures.TotalBytes, 700u);
    EXPECT_EQ(figures.Finished, 1u);
}

TEST(FetchProgress, ARestartTakesBackWhatWillComeAgainAndAResumeKeepsIt) {
    TFetchProgress progress;
    progress.AddFile();
    TFetchProgress::TFileObserver fetch(progress, false);
    fetch.Begin(0, 100);
    fetch.Received("0123456789", 10);
    fetch.Begin(0, 100);  // a retry that could not resume writes from the start
    EXPECT_EQ(progress.Figures().Bytes, 0u);
    fetch.Received("0123", 4);
    fetch.Begin(4, 100);  // a resume after a cut keeps what is on disk
    EXPECT_EQ(progress.Figures().Bytes, 4u);
    fetch.Received("456789", 6);
    fetch.Finished();
    EXPECT_EQ(progress.Figures().Bytes, 10u);
    EXPECT_EQ(fetch.Bytes(), 10u);
    EXPECT_EQ(progress.Figures().TotalBytes, 100u);
}

TEST(FetchProgress, FetchesOnManyThreadsAddUp) {
    constexpr int kFiles = 8, kPieces = 1000;
    TFetchProgress progress;
    for (int i = 0; i < kFiles; ++i) progress.AddFile();
    std::vector<std::thread> threads;
    for (int i = 0; i < kFiles; ++i)
        threads.emplace_back([&] {
            TFetchProgress::TFileObserver fetch(progress, false);
            fetch.Begin(0, kPieces * 3);
            for (int p = 0; p < kPieces; ++p) fetch.Received("abc", 3);
            fetch.Finished();
        });
    for (std::thread& t : threads) t.join();
    const TProgressFigures figures = progress.Figures();
    EXPECT_EQ(figures.Bytes, uint64_t{kFiles} * kPieces * 3);
    EXPECT_EQ(figures.TotalBytes, figures.Bytes);
    EXPECT_EQ(figures.Finished, uint32_t{kFiles});
}
