#pragma once
// A list of background procedures run on a private thread pool, with an asynchronous wait for all of
// them whose completion runs on the UI thread.
//
// Ownership: ITasks is reference-counted through std::shared_ptr; TTasksList::New hands out the
// first reference and every operation returns another one, so calls chain:
//     FTasks = TTasksList::New();
//     FTasks->Run(a)->Run(b)->AWait(done);
// The list owns its pool; destroying the list waits for the pool's callbacks to finish.
//
// Threads: New, Run, Add and AWait are called on the owner's thread (the UI thread). New captures
// the calling thread's hand-off (tasks/ui_handoff.h): every completion of that list runs on that
// thread, which must run a message loop. Task procedures run on the pool's workers without any lock
// of the list; each AWait runs its own waiter thread.
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

// A notification callback bound to an object; called with the sender it was given.
using TNotifyEvent = std::function<void(void* Sender)>;

class ITasks {
  public:
    virtual ~ITasks() = default;
    // Creates a task running Func on the list's pool, starts it, then adds it.
    virtual std::shared_ptr<ITasks> Run(std::function<void()> Func) = 0;
    // The same with a task that calls Event(Sender). Sender must outlive the task.
    virtual std::shared_ptr<ITasks> Run(void* Sender, TNotifyEvent Event) = 0;
    // Appends ATask unless this very task is already listed. Does not start it.
    virtual std::shared_ptr<ITasks> Add(std::shared_ptr<ITask> ATask) = 0;
    // Stores AEnd (replacing an earlier one) and starts a waiter thread that waits until no listed
    // task is left that has not ended, then runs the procedure stored at that moment on the UI
    // thread. Returns at once; AEnd never runs from inside AWait.
    virtual std::shared_ptr<ITasks> AWait(std::function<void()> AEnd) = 0;
};

class TTasksList final : public ITasks, public std::enable_shared_from_this<TTasksList> {
  public:
    static std::shared_ptr<ITasks> New();

    std::shared_ptr<ITasks> Run(std::function<void()> Func) override;
    std::shared_ptr<ITasks> Run(void* Sender, TNotifyEvent Event) override;
    std::shared_ptr<ITasks> Add(std::shared_ptr<ITask> ATask) override;
    std::shared_ptr<ITasks> AWait(std::function<void()> AEnd) override;

    // Empties the entries, then frees the pool, which waits for its running and queued callbacks.
    // May run inside a completion (on the UI thread); must not run inside one of its own tasks.
    ~TTasksList() override;

    // Use New; public only for std::make_shared.
    struct TPrivate {};
    explicit TTasksList(TPrivate);

    // The entries and the completion live apart from the list, shared with the waiters: a waiter
    // never touches the list itself, so the list may be destroyed inside its completion, or before
    // a wait is over, without a waiter reading freed memory.
    struct TState;

  private:
    std::unique_ptr<TThreadPool> FThreadPool;
    std::shared_ptr<TState> FState;
};
