#pragma once
// One procedure run once on a thread pool: a private one (a task list's) or the process's own.
//
// Threads: New and Start are called on any thread; the procedure runs on a worker of the pool. A
// task that is started keeps itself alive until its procedure has ended, so whoever starts one may
// drop it, or wait for EndedEvent (on a UI thread with a message-pumping wait).
#include <windows.h>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>

#include "base/handles.h"

class TThreadPool;

enum class TTaskStatus { Created, WaitingToRun, Running, Completed, WaitingForChildren, Canceled, Exception };

// Completed, cancelled and ended by an error count as ended; every other state does not.
constexpr bool IsEnded(TTaskStatus AStatus) {
    return AStatus == TTaskStatus::Completed || AStatus == TTaskStatus::Canceled ||
           AStatus == TTaskStatus::Exception;
}

// One procedure, run once on a pool.
class ITask {
  public:
    virtual ~ITask() = default;
    // Queues the task on its pool; a task starts once. Returns the task.
    virtual std::shared_ptr<ITask> Start() = 0;
    virtual TTaskStatus Status() const = 0;
    // The error the procedure raised (null unless Status() is Exception). It stays with the task:
    // nothing raises or shows it again.
    virtual std::exception_ptr Error() const = 0;
    // A manual-reset event, signalled once the task has ended. Owned by the task.
    virtual HANDLE EndedEvent() const = 0;
};

class TTask final : public ITask, public std::enable_shared_from_this<TTask> {
  public:
    // APool null: the process's default pool. A given pool must outlive the task's run.
    static std::shared_ptr<ITask> New(std::function<void()> AProc, TThreadPool* APool = nullptr);

    std::shared_ptr<ITask> Start() override;
    TTaskStatus Status() const override { return FStatus.load(); }
    std::exception_ptr Error() const override;
    HANDLE EndedEvent() const override { return FEnded.get(); }

    // Use New; public only for std::make_shared.
    struct TPrivate {};
    TTask(TPrivate, std::function<void()> AProc, TThreadPool* APool);

  private:
    static void CALLBACK RunQueued(PTP_CALLBACK_INSTANCE, void* context);
    void Execute() noexcept;

    std::function<void()> FProc;
    TThreadPool* FPool;
    std::atomic<TTaskStatus> FStatus{TTaskStatus::Created};
    std::exception_ptr FError;  // written before FStatus becomes Exception, read after
    unique_handle FEnded;
};
