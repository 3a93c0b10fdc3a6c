#pragma once
// A private Windows thread pool with lower and upper worker limits.
#include <windows.h>

class TThreadPool {
  public:
    // Lower limit: AMinimum workers (started at once); upper limit: AMaximum.
    TThreadPool(DWORD AMinimum, DWORD AMaximum);
    // One worker per processor at least, 25 per processor at most.
    TThreadPool();
    TThreadPool(const TThreadPool&) = delete;
    TThreadPool& operator=(const TThreadPool&) = delete;
    // Waits for every queued and running callback, then closes the pool.
    ~TThreadPool();

    // The environment that binds a callback to this pool and its cleanup group.
    PTP_CALLBACK_ENVIRON Environment() { return &FEnvironment; }

  private:
    PTP_POOL FPool = nullptr;
    PTP_CLEANUP_GROUP FCleanupGroup = nullptr;
    TP_CALLBACK_ENVIRON FEnvironment{};
};
