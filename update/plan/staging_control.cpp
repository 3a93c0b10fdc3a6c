#include "update/plan/staging_control.h"

#include <chrono>

void TStagingControl::Pause() {
    {
        const std::lock_guard lock(FLock);
        FPaused = true;
    }
    FChanged.notify_all();
}

void TStagingControl::Resume() {
    {
        const std::lock_guard lock(FLock);
        FPaused = false;
    }
    FChanged.notify_all();
}

void TStagingControl::Cancel() {
    {
        const std::lock_guard lock(FLock);
        FCancelled = true;
    }
    FChanged.notify_all();
}

bool TStagingControl::Interrupted() const {
    const std::lock_guard lock(FLock);
    return FPaused || FCancelled;
}

bool TStagingControl::Cancelled() const {
    const std::lock_guard lock(FLock);
    return FCancelled;
}

bool TStagingControl::WaitWhilePaused() {
    std::unique_lock lock(FLock);
    FChanged.wait(lock, [this] { return !FPaused || FCancelled; });
    return !FCancelled;
}

bool TStagingControl::Sleep(uint64_t AMilliseconds) {
    std::unique_lock lock(FLock);
    FChanged.wait_for(lock, std::chrono::milliseconds(AMilliseconds),
                      [this] { return FPaused || FCancelled; });
    return !FCancelled;
}
