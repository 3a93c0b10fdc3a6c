#pragma once
// The switches between the window (UI thread) and the background fetch (a pool thread): the window
// pauses the fetch while an update the user waits for runs, and cancels it when the program ends.
// The fetch asks between the pieces it reads, so a pause takes effect within one piece.
#include <condition_variable>
#include <cstdint>
#include <mutex>

class TStagingControl {
  public:
    void Pause();
    void Resume();
    // For good: every wait returns at once, and the fetch ends at its next piece.
    void Cancel();

    bool Interrupted() const;  // paused or cancelled
    bool Cancelled() const;
    // Waits while paused; false once cancelled.
    bool WaitWhilePaused();
    // Waits AMilliseconds, or less when cancelled or paused meanwhile; false once cancelled.
    bool Sleep(uint64_t AMilliseconds);

  private:
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    bool FPaused = false;
    bool FCancelled = false;
};
