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

#include <functional>
#include <memory>

#include "tasks/task.h"

class TThreadPool;

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
