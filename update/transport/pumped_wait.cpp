#include "update/transport/pumped_wait.h"

#include <algorithm>
#include <cstdint>

#include "base/error.h"

namespace {

// Dispatches every message waiting in the calling thread's queue; a quit request met is kept in
// AQuitCode instead.
void DispatchQueuedMessages(std::optional<WPARAM>& AQuitCode) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            AQuitCode = msg.wParam;
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

}  // namespace

void DispatchWaitingMessages() {
    std::optional<WPARAM> quitCode;
    DispatchQueuedMessages(quitCode);
    if (quitCode) PostQuitMessage(static_cast<int>(*quitCode));
}

namespace {

TPumpedWaitEnd Wait(HANDLE AEvent, std::optional<std::chrono::milliseconds> ABound, bool AEndOnQuit) {
    using clock = std::chrono::steady_clock;
    const clock::time_point end = clock::now() + ABound.value_or(std::chrono::milliseconds::zero());
    const DWORD handles = AEvent ? 1 : 0;
    std::optional<WPARAM> quitCode;
    TPumpedWaitEnd ended = TPumpedWaitEnd::BoundPassed;
    // A quit request queued before the wait began counts as much as one that arrives during it.
    if (AEndOnQuit) DispatchQueuedMessages(quitCode);
    while (!(AEndOnQuit && quitCode)) {
        DWORD timeout = INFINITE;
        if (ABound) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now());
            if (left.count() <= 0) break;
            timeout = static_cast<DWORD>(std::min<int64_t>(left.count(), INFINITE - 1));
        }
        // MWMO_INPUTAVAILABLE: messages already in the queue wake the wait too, not only new ones.
        const DWORD woke = MsgWaitForMultipleObjectsEx(handles, AEvent ? &AEvent : nullptr, timeout,
                                                       QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (handles && woke == WAIT_OBJECT_0) {
            ended = TPumpedWaitEnd::Signalled;
            break;
        }
        DispatchQueuedMessages(quitCode);
    }
    if (quitCode) {
        PostQuitMessage(static_cast<int>(*quitCode));
        if (AEndOnQuit && ended != TPumpedWaitEnd::Signalled) ended = TPumpedWaitEnd::QuitRequested;
    }
    return ended;
}

}  // namespace

bool WaitDispatchingMessages(HANDLE AEvent, std::optional<std::chrono::milliseconds> ABound) {
    return Wait(AEvent, ABound, false) == TPumpedWaitEnd::Signalled;
}

TPumpedWaitEnd WaitUnlessQuitRequested(HANDLE AEvent, std::optional<std::chrono::milliseconds> ABound) {
    return Wait(AEvent, ABound, true);
}

void RaiseQuitRequested() {
    throw Error("A atualização foi interrompida porque o Aurevia está sendo fechado", TErrorCategory::Other,
                Win32Code(ERROR_CANCELLED));
}

bool IsQuitRequested(const TFailureInfo& AFailure) {
    return AFailure.Category == TErrorCategory::Other && AFailure.Code == Win32Code(ERROR_CANCELLED);
}
