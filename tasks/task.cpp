#include "tasks/task.h"

#include "base/win32_error.h"
#include "tasks/thread_pool.h"

// The context holds the task alive from queueing until its procedure has ended.
void CALLBACK TTask::RunQueued(PTP_CALLBACK_INSTANCE, void* context) {
    std::unique_ptr<std::shared_ptr<TTask>> self(static_cast<std::shared_ptr<TTask>*>(context));
    (*self)->Execute();
}

std::shared_ptr<ITask> TTask::New(std::function<void()> AProc, TThreadPool* APool) {
    return std::make_shared<TTask>(TPrivate{}, std::move(AProc), APool);
}

TTask::TTask(TPrivate, std::function<void()> AProc, TThreadPool* APool)
    : FProc(std::move(AProc)), FPool(APool), FEnded(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!FEnded) ThrowLastError(TErrorCategory::Other);
}

std::shared_ptr<ITask> TTask::Start() {
    TTaskStatus expected = TTaskStatus::Created;
    if (!FStatus.compare_exchange_strong(expected, TTaskStatus::WaitingToRun)) return shared_from_this();
    auto context = std::make_unique<std::shared_ptr<TTask>>(shared_from_this());
    if (!TrySubmitThreadpoolCallback(RunQueued, context.get(), FPool ? FPool->Environment() : nullptr)) {
        const DWORD code = GetLastError();
        FStatus = TTaskStatus::Created;
        throw Win32Error(code, TErrorCategory::Other);
    }
    context.release();  // now owned by RunQueued
    return shared_from_this();
}

std::exception_ptr TTask::Error() const {
    return FStatus.load() == TTaskStatus::Exception ? FError : nullptr;
}

void TTask::Execute() noexcept {
    FStatus = TTaskStatus::Running;
    TTaskStatus ended = TTaskStatus::Completed;
    try {
        FProc();
    } catch (...) {
        FError = std::current_exception();
        ended = TTaskStatus::Exception;
    }
    // The procedure's captures go now, not whenever the last reference to the task goes.
    FProc = nullptr;
    FStatus = ended;
    SetEvent(FEnded.get());
}
