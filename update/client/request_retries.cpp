#include "update/client/request_retries.h"

#include "base/string_convert.h"

bool TRequestRetries::WaitAfterAnswer(const THttpRequest& AAnswer) {
    if (!IsRetriedStatus(AAnswer.StatusCode())) return false;
    return Wait(ParseRetryAfter(WideToUtf8(AAnswer.Header(WINHTTP_QUERY_RETRY_AFTER)),
                                std::chrono::system_clock::now()));
}

bool TRequestRetries::WaitAfterFailure(const TTransportError& AFailure) {
    return IsRetriedTransportError(AFailure.Code()) && Wait(std::nullopt);
}

bool TRequestRetries::Wait(std::optional<std::chrono::milliseconds> ARetryAfter) {
    const auto wait = FPolicy.NextWait(ARetryAfter);
    if (!wait) return false;
    if (FSession) {
        if (const auto remaining = FSession->Remaining(); remaining && *wait >= *remaining) return false;
    }
    WaitDispatchingMessages(*wait);
    return true;
}

void WaitDispatchingMessages(std::chrono::milliseconds AWait) {
    using clock = std::chrono::steady_clock;
    const clock::time_point end = clock::now() + AWait;
    std::optional<WPARAM> quitCode;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now());
        if (left.count() <= 0) break;
        // MWMO_INPUTAVAILABLE: messages already in the queue wake the wait too, not only new ones.
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(left.count()), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
        DispatchQueuedMessages(quitCode);
    }
    if (quitCode) PostQuitMessage(static_cast<int>(*quitCode));
}

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
