#include "tasks/ui_handoff.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "windows/tasks/ui_thread.h"

namespace {

TEST(UiHandoff, CallRunsOnOwningThreadAndBlocksCallerUntilItHasRun) {
    const TUiHandoff handoff = TUiHandoff::ForCurrentThread();
    EXPECT_EQ(handoff.Window(), TUiHandoff::ForCurrentThread().Window()) << "one window per thread";

    std::atomic<DWORD> ranOn{0};
    std::atomic<bool> callReturned{false};
    bool finishedBeforeReturn = false;
    std::thread caller([&] {
        handoff.Call([&] {
            Sleep(50);
            ranOn = GetCurrentThreadId();
        });
        finishedBeforeReturn = ranOn != 0;
        callReturned = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return callReturned.load(); }));
    caller.join();
    EXPECT_EQ(ranOn, GetCurrentThreadId());
    EXPECT_TRUE(finishedBeforeReturn);
}

TEST(UiHandoff, CallToThreadThatHasEndedRunsNothing) {
    std::optional<TUiHandoff> handoff;
    std::thread([&] { handoff = TUiHandoff::ForCurrentThread(); }).join();
    bool ran = false;
    EXPECT_FALSE(handoff->Call([&] { ran = true; }));
    EXPECT_FALSE(ran);
    EXPECT_FALSE(IsWindow(handoff->Window()));
}

}  // namespace
