#include "tasks/tasks_list.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "base/win32_error.h"
#include "tasks/thread_pool.h"
#include "tasks/ui_handoff.h"

struct TTasksList::TState {
    explicit TState(TUiHandoff AHandoff) : FHandoff(AHandoff) {}

    // Guards FTasks and FProc. Never held while blocking or while a procedure runs.
    std::mutex FLock;
    // Only grows while the list lives; an ended task's entry is emptied, not removed.
    std::vector<std::shared_ptr<ITask>> FTasks;
    std::function<void()> FProc;
    const TUiHandoff FHandoff;
};

namespace {
using TState = TTasksList::TState;

constexpr DWORD kPassInterval = 100;  // ms: the longest a pass waits before scanning again

// One pass: empties the entries of ended tasks and collects the others.
void ScanTasks(TState& AState, std::vector<std::shared_ptr<ITask>>& AWaitSet) {
    AWaitSet.clear();
    std::lock_guard lock(AState.FLock);
    for (auto& entry : AState.FTasks) {
        if (!entry) continue;
        if (IsEnded(entry->Status()))
            entry.reset();
        else
            AWaitSet.push_back(entry);
    }
}

void WaitForTasks(TState& AState) {
    // The wait set holds its own references, so the events stay valid even if the list is
    // destroyed while this thread waits on them.
    std::vector<std::shared_ptr<ITask>> waitSet;
    std::vector<HANDLE> events;
    for (;;) {
        ScanTasks(AState, waitSet);
        if (waitSet.empty()) return;
        // One wait takes at most MAXIMUM_WAIT_OBJECTS handles. The oldest tasks are waited on;
        // a later one that ends first is noticed within one interval, and once no more than that
        // many are left, the last one to end wakes the waiter at once.
        events.clear();
        const size_t count = std::min<size_t>(waitSet.size(), MAXIMUM_WAIT_OBJECTS);
        for (size_t i = 0; i < count; ++i) events.push_back(waitSet[i]->EndedEvent());
        if (WaitForMultipleObjects(static_cast<DWORD>(count), events.data(), FALSE, kPassInterval) ==
            WAIT_FAILED)
            ThrowLastError(TErrorCategory::Other);
    }
}

DWORD WINAPI WaiterThread(void* context) {
    const std::unique_ptr<std::shared_ptr<TState>> owned(static_cast<std::shared_ptr<TState>*>(context));
    TState& state = **owned;
    try {
        WaitForTasks(state);
    } catch (...) {
        // A failure of the wait itself ends it; the completion is still due.
    }
    state.FHandoff.Call([&state] {
        std::function<void()> proc;
        {
            std::lock_guard lock(state.FLock);
            proc = state.FProc;
        }
        // A copy runs: the procedure may destroy the list, and with it the stored one.
        if (proc) proc();
    });
    return 0;
}
}  // namespace

std::shared_ptr<ITasks> TTasksList::New() { return std::make_shared<TTasksList>(TPrivate{}); }

TTasksList::TTasksList(TPrivate)
    : FThreadPool(std::make_unique<TThreadPool>()),
      FState(std::make_shared<TState>(TUiHandoff::ForCurrentThread())) {}

TTasksList::~TTasksList() {
    {
        std::lock_guard lock(FState->FLock);
        for (auto& entry : FState->FTasks) entry.reset();
    }
    FThreadPool.reset();
}

std::shared_ptr<ITasks> TTasksList::Run(std::function<void()> Func) {
    // Started before it is listed: a quick task may already have ended when Add sees it.
    auto task = TTask::New(std::move(Func), FThreadPool.get());
    task->Start();
    return Add(std::move(task));
}

std::shared_ptr<ITasks> TTasksList::Run(void* Sender, TNotifyEvent Event) {
    return Run([Sender, Event = std::move(Event)] { Event(Sender); });
}

std::shared_ptr<ITasks> TTasksList::Add(std::shared_ptr<ITask> ATask) {
    if (ATask) {
        std::lock_guard lock(FState->FLock);
        if (std::find(FState->FTasks.begin(), FState->FTasks.end(), ATask) == FState->FTasks.end())
            FState->FTasks.push_back(std::move(ATask));
    }
    return shared_from_this();
}

std::shared_ptr<ITasks> TTasksList::AWait(std::function<void()> AEnd) {
    {
        std::lock_guard lock(FState->FLock);
        FState->FProc = std::move(AEnd);
    }
    auto context = std::make_unique<std::shared_ptr<TState>>(FState);
    HANDLE thread = CreateThread(nullptr, 0, WaiterThread, context.get(), 0, nullptr);
    if (!thread) ThrowLastError(TErrorCategory::Other);
    context.release();  // now owned by the waiter thread
    // The waiter frees itself when it ends; nobody joins it.
    CloseHandle(thread);
    return shared_from_this();
}
