#include "launcher/window/update_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Starts AFirst, offers each of AOffers while it runs, then completes every update in turn and
// returns the names in the order they ran.
std::vector<std::wstring> RunOrder(const std::wstring& AFirst, const std::vector<std::wstring>& AOffers) {
    TUpdateQueue queue;
    EXPECT_FALSE(queue.Defer(AFirst, true)) << "nothing runs: the first starts at once";
    queue.Begin(AFirst);
    for (const auto& name : AOffers) EXPECT_TRUE(queue.Defer(name, true));
    std::vector<std::wstring> order{AFirst};
    while (const auto next = queue.Finish()) {
        order.push_back(next->FModuleName);
        queue.Begin(next->FModuleName);
    }
    EXPECT_FALSE(queue.Updating());
    return order;
}

struct QueueCase {
    const char* name;
    std::wstring first;
    std::vector<std::wstring> offers;
    std::vector<std::wstring> ran;
};

class UpdateQueueOrder : public testing::TestWithParam<QueueCase> {};

TEST_P(UpdateQueueOrder, RunsWaitingUpdatesOnceEachInOrder) {
    EXPECT_EQ(RunOrder(GetParam().first, GetParam().offers), GetParam().ran);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateQueueOrder,
    testing::Values(
        QueueCase{"Alone", L"A.exe", {}, {L"A.exe"}},
        QueueCase{"ClicksWaitInOrder", L"A.exe", {L"B.exe", L"C.exe"}, {L"A.exe", L"B.exe", L"C.exe"}},
        QueueCase{"RunningModuleIsNotQueuedAgain", L"A.exe", {L"A.exe", L"B.exe"}, {L"A.exe", L"B.exe"}},
        QueueCase{"WaitingModuleIsNotQueuedTwice",
                  L"A.exe",
                  {L"B.exe", L"B.exe", L"C.exe"},
                  {L"A.exe", L"B.exe", L"C.exe"}},
        // The start-up refresh is the empty name: it waits like a click.
        QueueCase{"RefreshWaitsBehindAClick", L"A.exe", {L"", L"B.exe"}, {L"A.exe", L"", L"B.exe"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UpdateQueue, AbandonedUpdateDropsEveryWaitingOne) {
    TUpdateQueue queue;
    queue.Begin(L"A.exe");
    queue.Defer(L"B.exe", false);
    queue.Abandon();
    EXPECT_FALSE(queue.Updating());
    EXPECT_TRUE(queue.NothingWaits());
    EXPECT_FALSE(queue.Defer(L"B.exe", false)) << "the next click starts at once";
}

}  // namespace
