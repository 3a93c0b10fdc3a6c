#pragma once
// Test helpers of the task list: the test's own thread is the UI thread; tasks wait at gates.
#include <windows.h>

#include "base/handles.h"
#include "support/message_pump.h"

// A manual-reset event that tasks block on until the test opens it.
class TGate {
  public:
    TGate() : FEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    void Open() const { SetEvent(FEvent.get()); }
    // Bounded so that a broken test fails instead of leaving a worker blocked for good.
    bool Wait(DWORD ATimeoutMs = 20000) const {
        return WaitForSingleObject(FEvent.get(), ATimeoutMs) == WAIT_OBJECT_0;
    }

  private:
    unique_handle FEvent;
};
