#pragma once
// The one way an update waits on the thread that runs it: the thread's window messages are
// dispatched meanwhile, so a window on it keeps painting and its clicks queue as at any other time
// (Windows would mark a window that stops answering "Not responding"). A quit request that arrives
// during the wait is posted again for the caller's own message loop.
#include <windows.h>

#include <chrono>
#include <optional>

#include "base/error.h"

// Waits until AEvent is signalled (none: only the time) or ABound has passed (none: no bound).
// True when the event was signalled.
bool WaitDispatchingMessages(HANDLE AEvent, std::optional<std::chrono::milliseconds> ABound);

// Dispatches the messages already waiting in the calling thread's queue and returns once it is empty,
// so that what was asked of a window (a paint, a shown panel) happens before long work on this thread.
void DispatchWaitingMessages();

// How a wait that gives way to a quit request ended.
enum class TPumpedWaitEnd { Signalled, BoundPassed, QuitRequested };

// The same wait for an update's request, which must not hold a launcher the user is closing: a quit
// request already queued, or arriving during the wait, ends it at once (and is posted again). The
// caller then lets go of what it waited for; RaiseQuitRequested is the failure it reports.
TPumpedWaitEnd WaitUnlessQuitRequested(HANDLE AEvent, std::optional<std::chrono::milliseconds> ABound);

// Raises the failure of an update ended because the launcher is closing (not retried, not a timeout).
// It carries the system's "cancelled by the user" code, by which IsQuitRequested knows it.
[[noreturn]] void RaiseQuitRequested();

// Whether AFailure is the one RaiseQuitRequested raised: the user's choice, not a fault of the
// workstation or the server.
bool IsQuitRequested(const TFailureInfo& AFailure);

// Waits AWait while dispatching the calling thread's window messages.
inline void WaitDispatchingMessages(std::chrono::milliseconds AWait) {
    WaitDispatchingMessages(nullptr, AWait);
}
