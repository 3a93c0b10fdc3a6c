#include "tasks/tasks_list.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "tasks/thread_pool.h"
#include "windows/tasks/ui_thread.h"

namespace {

// Records one completion: how often it ran and on which thread.
struct TCompletion {
    std::atomic<int> FCalls{0};
    std::atomic<DWORD> FThread{0};
    std::function<void()> Proc() {
        return [this] {
            FThread = GetCurrentThreadId();
            ++FCalls;
        };
    }
    bool Ran() const { return FCalls > 0; }
};

TEST(TasksList, CompletionRunsOnUiThreadAfterEveryTaskAndNeverInsideAWait) {
    std::atomic<int> done{0};
    std::atomic<int> doneAtCompletion{-1};
    std::atomic<DWORD> eventThread{0};
    void* sentSender = nullptr;
    int sender = 0;
    TCompletion completion;

    auto list = TTasksList::New();
    for (int i = 0; i < 8; ++i)
        list->Run([&done] {
            Sleep(20);
            ++done;
        });
    list->Run(&sender, [&](void* Sender) {
        sentSender = Sender;
        eventThread = GetCurrentThreadId();
        ++done;
    });
    list->AWait([&] {
        doneAtCompletion = done.load();
        completion.Proc()();
    });
    EXPECT_FALSE(completion.Ran());

    ASSERT_TRUE(PumpUntil([&] { return completion.Ran(); }));
    EXPECT_EQ(doneAtCompletion, 9);
    EXPECT_EQ(completion.FThread, GetCurrentThreadId());
    EXPECT_EQ(sentSender, &sender);
    EXPECT_NE(eventThread, GetCurrentThreadId());
    PumpFor(300);
    EXPECT_EQ(completion.FCalls, 1);
}

TEST(TasksList, AWaitOnEmptyListCompletesShortlyAfterwardsOnUiThread) {
    TCompletion completion;
    auto list = TTasksList::New();
    list->AWait(completion.Proc());
    EXPECT_FALSE(completion.Ran());
    ASSERT_TRUE(PumpUntil([&] { return completion.Ran(); }, 2000));
    EXPECT_EQ(completion.FThread, GetCurrentThreadId());
}

TEST(TasksList, FailingTaskEndsInErrorAndCompletionStillWaitsForTheOthers) {
    TGate gate;
    TCompletion completion;
    auto failing = TTask::New([] { throw std::runtime_error("disk gone"); });
    auto list = TTasksList::New();
    list->Run([&gate] { gate.Wait(); })->Run([] { throw std::runtime_error("also failing"); });
    failing->Start();
    list->Add(failing)->AWait(completion.Proc());

    ASSERT_EQ(WaitForSingleObject(failing->EndedEvent(), 5000), WAIT_OBJECT_0);
    PumpFor(300);
    EXPECT_FALSE(completion.Ran()) << "completed while a task was still running";

    gate.Open();
    ASSERT_TRUE(PumpUntil([&] { return completion.Ran(); }));
    EXPECT_EQ(failing->Status(), TTaskStatus::Exception);
    ASSERT_TRUE(failing->Error());
    try {
        std::rethrow_exception(failing->Error());
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "disk gone");
    }
}

TEST(TasksList, TaskThatEndedBeforeAddIsNotWaitedFor) {
    TCompletion completion;
    auto task = TTask::New([] {})->Start();
    ASSERT_EQ(WaitForSingleObject(task->EndedEvent(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(task->Status(), TTaskStatus::Completed);
    EXPECT_FALSE(task->Error());

    auto list = TTasksList::New();
    list->Add(task)->AWait(completion.Proc());
    ASSERT_TRUE(PumpUntil([&] { return completion.Ran(); }, 2000));
}

TEST(TasksList, AddingTheSameTaskTwiceKeepsOneEntry) {
    auto task = TTask::New([] {});
    auto list = TTasksList::New();
    list->Add(task)->Add(task)->Add(TTask::New([] {}));
    EXPECT_EQ(task.use_count(), 2) << "the list should hold exactly one reference to the task";
    EXPECT_EQ(task->Status(), TTaskStatus::Created) << "Add must not start a task";
}

TEST(TasksList, TaskRunAfterAWaitIsWaitedForToo) {
    TGate first, second;
    TCompletion completion;
    auto list = TTasksList::New();
    list->Run([&first] { first.Wait(); })->AWait(completion.Proc());
    PumpFor(150);  // the waiter is inside its wait now
    list->Run([&second] { second.Wait(); });

    first.Open();
    PumpFor(400);
    EXPECT_FALSE(completion.Ran()) << "the task run after AWait was not waited for";

    second.Open();
    ASSERT_TRUE(PumpUntil([&] { return completion.Ran(); }));
}

TEST(TasksList, EachWaiterCallsTheProcedureStoredWhenItEnds) {
    struct TCase {
        const char* name;
        bool secondIsEmpty;
        int firstCalls, secondCalls;
    };
    for (const TCase& c : {TCase{"second procedure replaces the first and runs twice", false, 0, 2},
                           TCase{"an empty procedure leaves nothing to call", true, 0, 0}}) {
        SCOPED_TRACE(c.name);
        TGate gate;
        TCompletion first, second;
        auto list = TTasksList::New();
        list->Run([&gate] { gate.Wait(); })->AWait(first.Proc());
        list->AWait(c.secondIsEmpty ? std::function<void()>() : second.Proc());
        gate.Open();
        // Both waiters end within one pass; give them a few.
        PumpUntil([&] { return second.FCalls == 2; }, 1000);
        PumpFor(300);
        EXPECT_EQ(first.FCalls, c.firstCalls);
        EXPECT_EQ(second.FCalls, c.secondCalls);
    }
}

TEST(TasksList, CompletionMayReleaseTheLastReferenceAndDestroyTheList) {
    std::atomic<int> done{0};
    bool destroyedInside = false;
    bool ran = false;
    std::shared_ptr<ITasks> list = TTasksList::New();
    std::weak_ptr<ITasks> watch = list;
    for (int i = 0; i < 20; ++i) list->Run([&done] { ++done; });
    list->AWait([&] {
        list.reset();
        destroyedInside = watch.expired();
        ran = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return ran; }));
    EXPECT_TRUE(destroyedInside);
    EXPECT_EQ(done, 20);
    PumpFor(200);  // the waiter ends after this without touching the list
}

TEST(TasksList, ListDroppedBeforeItsWaitEndsWaitsForItsTasksAndStillCompletes) {
    std::atomic<int> done{0};
    TCompletion completion;
    {
        auto list = TTasksList::New();
        for (int i = 0; i < 6; ++i)
            list->Run([&done] {
                Sleep(100);
                ++done;
            });
        list->AWait(completion.Proc());
    }
    EXPECT_EQ(done, 6) << "destroying the list must wait for its pool's work";
    ASSERT_TRUE(PumpUntil([&] { return completion.Ran(); }));
}

// A task that never ends and breaks the waiter's pass in one of two ways.
class TBrokenTask final : public ITask {
  public:
    explicit TBrokenTask(bool AStatusThrows) : FStatusThrows(AStatusThrows) {}
    std::shared_ptr<ITask> Start() override { return nullptr; }
    TTaskStatus Status() const override {
        if (FStatusThrows) throw std::runtime_error("state unreadable");
        return TTaskStatus::Running;
    }
    std::exception_ptr Error() const override { return nullptr; }
    HANDLE EndedEvent() const override { return nullptr; }  // the wait fails on it

  private:
    bool FStatusThrows;
};

TEST(TasksList, ErrorInsideTheWaitersLoopEndsItAndStillHandsOverTheCompletion) {
    for (bool statusThrows : {true, false}) {
        SCOPED_TRACE(statusThrows ? "reading a state fails" : "the wait fails");
        TCompletion completion;
        auto list = TTasksList::New();
        list->Add(std::make_shared<TBrokenTask>(statusThrows))->AWait(completion.Proc());
        ASSERT_TRUE(PumpUntil([&] { return completion.Ran(); }, 3000));
        EXPECT_EQ(completion.FThread, GetCurrentThreadId());
        // The failed pass must not have left the list's lock taken.
        list->Run([] {})->Add(TTask::New([] {}));
    }
}

TEST(TasksList, ThousandTasksInOneList) {
    constexpr int kTasks = 1000;
    std::atomic<int> done{0};
    int doneAtCompletion = -1;
    TGate gate;
    auto list = TTasksList::New();
    for (int i = 0; i < kTasks; ++i)
        list->Run([&, i] {
            // The last tasks hold on longest, so the waiter has far more than one wait's worth of
            // unfinished tasks for most of the run.
            if (i >= kTasks - 5) gate.Wait();
            ++done;
        });
    list->AWait([&] { doneAtCompletion = done; });
    PumpFor(300);
    EXPECT_EQ(doneAtCompletion, -1);
    gate.Open();
    const ULONGLONG opened = GetTickCount64();
    ASSERT_TRUE(PumpUntil([&] { return doneAtCompletion >= 0; }, 30000));
    EXPECT_EQ(doneAtCompletion, kTasks);
    EXPECT_LT(GetTickCount64() - opened, 3000u);
}

// Finds a dialog of the given thread by its caption.
HWND FindThreadDialog(DWORD AThread, const wchar_t* ACaption) {
    struct TSearch {
        const wchar_t* caption;
        HWND found;
    } search{ACaption, nullptr};
    EnumThreadWindows(
        AThread,
        [](HWND hwnd, LPARAM lparam) -> BOOL {
            auto* s = reinterpret_cast<TSearch*>(lparam);
            wchar_t text[64] = {};
            GetWindowTextW(hwnd, text, 64);
            if (wcscmp(text, s->caption) == 0) {
                s->found = hwnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

TEST(TasksList, CompletionArrivesWhileModalDialogRunsItsOwnLoop) {
    constexpr wchar_t kCaption[] = L"Tasks modal probe";
    const DWORD uiThread = GetCurrentThreadId();
    TGate release;
    std::atomic<bool> ran{false};
    std::atomic<bool> dialogOpenAtCompletion{false};
    std::atomic<DWORD> completionThread{0};

    auto list = TTasksList::New();
    list->Run([&release] { release.Wait(); })->AWait([&] {
        dialogOpenAtCompletion = FindThreadDialog(uiThread, kCaption) != nullptr;
        completionThread = GetCurrentThreadId();
        ran = true;
    });

    // Lets the task end only once the modal box is up, then closes the box after the completion
    // (or after a deadline, so a failure cannot leave the box open).
    std::thread closer([&] {
        HWND box = nullptr;
        for (int i = 0; i < 500 && !(box = FindThreadDialog(uiThread, kCaption)); ++i) Sleep(20);
        release.Open();
        for (int i = 0; i < 500 && !ran; ++i) Sleep(20);
        if (box) PostMessageW(box, WM_COMMAND, IDOK, 0);
    });
    MessageBoxW(nullptr, L"Waiting for the task list", kCaption, MB_OK);
    closer.join();

    EXPECT_TRUE(ran) << "the completion did not get through the modal loop";
    EXPECT_TRUE(dialogOpenAtCompletion);
    EXPECT_EQ(completionThread, uiThread);
}

size_t ThreadCount() {
    size_t count = 0;
    unique_file snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    return count;
}

DWORD HandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return count;
    // Wine answers 0: count the handle values that are open instead (they are multiples of 4, and
    // low ones are handed out first).
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

TEST(TasksList, ThousandLifetimesLeaveNoThreadsOrHandlesBehind) {
    // One lifetime first, so that whatever the process sets up once is already counted.
    auto lifetime = [] {
        bool ran = false;
        auto list = TTasksList::New();
        list->Run([] {})->Run([] { throw std::runtime_error("x"); })->AWait([&] {
            list.reset();
            ran = true;
        });
        return PumpUntil([&] { return ran; });
    };
    ASSERT_TRUE(lifetime());
    // Let the first lifetime's workers and waiter finish ending (slow on a loaded machine): take
    // the baseline only once both counts have held still for half a second.
    size_t threadsBefore = ThreadCount();
    DWORD handlesBefore = HandleCount();
    for (int stable = 0, round = 0; stable < 5 && round < 100; ++round) {
        PumpFor(100);
        const size_t threads = ThreadCount();
        const DWORD handles = HandleCount();
        stable = threads == threadsBefore && handles == handlesBefore ? stable + 1 : 0;
        threadsBefore = threads;
        handlesBefore = handles;
    }
    {
        // The counters must see what a live list holds, or the comparison below proves nothing.
        TGate gate;
        // Eight waiting tasks hold eight ended-events, a margin no stray handle of the runtime
        // closing at the same moment can hide.
        auto list = TTasksList::New();
        for (int i = 0; i < 8; ++i) list->Run([&gate] { gate.Wait(); });
        list->AWait({});
        EXPECT_GT(ThreadCount(), threadsBefore + 1);
        EXPECT_GE(HandleCount(), handlesBefore + 6);
        gate.Open();
    }

    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(lifetime()) << "lifetime " << i;

    // Pool workers and waiters end shortly after their list; allow them that.
    const bool settled = PumpUntil(
        [&] { return ThreadCount() <= threadsBefore + 2 && HandleCount() <= handlesBefore + 8; }, 10000);
    EXPECT_TRUE(settled) << "threads " << threadsBefore << " -> " << ThreadCount() << ", handles "
                         << handlesBefore << " -> " << HandleCount();
}

}  // namespace
