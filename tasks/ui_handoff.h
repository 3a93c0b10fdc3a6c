#pragma once
// Carries a call from a background thread to a UI thread and blocks the caller until it has run.
//
// Each thread that asks for its hand-off gets one hidden message-only window, created on first use
// on that thread and destroyed when the thread ends. A call reaches the window through SendMessageW,
// so it is delivered whenever that thread retrieves messages: in its own loop, inside a modal
// dialog's loop, or inside any other message-retrieving call. The owning thread must therefore keep
// pumping messages while hand-offs can arrive; a thread that blocks without retrieving messages
// holds every sender.
#include <windows.h>

#include <functional>

class TUiHandoff {
  public:
    // The calling thread's hand-off; creates its window on the first call from that thread.
    static TUiHandoff ForCurrentThread();

    // Runs ACall on the owning thread and returns once it has returned. Called from the owning
    // thread itself it runs ACall directly. An error escaping ACall goes to the application's
    // top-level error display on the owning thread (it may not cross the window procedure).
    // Returns false, without running anything, when the owning thread's window is gone (the thread
    // has ended).
    bool Call(const std::function<void()>& ACall) const;

    HWND Window() const { return FWindow; }

  private:
    TUiHandoff(HWND AWindow, DWORD AThreadId) : FWindow(AWindow), FThreadId(AThreadId) {}

    // Not owned: the window belongs to its thread and lives as long as that thread.
    HWND FWindow;
    DWORD FThreadId;
};
