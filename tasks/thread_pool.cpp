#include "tasks/thread_pool.h"

#include "base/win32_error.h"

namespace {
DWORD ProcessorCount() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors ? info.dwNumberOfProcessors : 1;
}
}  // namespace

TThreadPool::TThreadPool() : TThreadPool(ProcessorCount(), 25 * ProcessorCount()) {}

TThreadPool::TThreadPool(DWORD AMinimum, DWORD AMaximum) {
    InitializeThreadpoolEnvironment(&FEnvironment);
    FPool = CreateThreadpool(nullptr);
    if (!FPool) ThrowLastError(TErrorCategory::Other);
    FCleanupGroup = CreateThreadpoolCleanupGroup();
    if (!FCleanupGroup) {
        const DWORD code = GetLastError();
        CloseThreadpool(FPool);
        throw Win32Error(code, TErrorCategory::Other);
    }
    // Maximum first: a minimum above the current maximum is refused.
    SetThreadpoolThreadMaximum(FPool, AMaximum);
    if (!SetThreadpoolThreadMinimum(FPool, AMinimum)) {
        const DWORD code = GetLastError();
        CloseThreadpoolCleanupGroup(FCleanupGroup);
        CloseThreadpool(FPool);
        throw Win32Error(code, TErrorCategory::Other);
    }
    SetThreadpoolCallbackPool(&FEnvironment, FPool);
    SetThreadpoolCallbackCleanupGroup(&FEnvironment, FCleanupGroup, nullptr);
}

TThreadPool::~TThreadPool() {
    // Not cancelling: every queued callback still runs, so each task reaches an ended state and
    // releases what its callback holds.
    CloseThreadpoolCleanupGroupMembers(FCleanupGroup, FALSE, nullptr);
    CloseThreadpoolCleanupGroup(FCleanupGroup);
    CloseThreadpool(FPool);
    DestroyThreadpoolEnvironment(&FEnvironment);
}
