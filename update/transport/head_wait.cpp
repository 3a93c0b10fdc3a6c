#include "update/transport/head_wait.h"

#include <memory>
#include <mutex>
#include <optional>

#include "base/win32_error.h"
#include "update/transport/pumped_wait.h"

namespace {

// Shared by the caller and the pool thread; the last of the two to let go frees it.
struct THeadWait {
    std::mutex Lock;
    unique_handle Done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HINTERNET Request = nullptr;
    std::wstring Headers;
    bool Finished = false;
    BOOL Ok = FALSE;
    DWORD Code = 0;
    // Filled when the caller stopped waiting: closed by the pool thread once its calls return.
    unique_hinternet AbandonedRequest, AbandonedConnection;
};

void CALLBACK ReceiveHead(PTP_CALLBACK_INSTANCE, void* AContext) {
    const std::unique_ptr<std::shared_ptr<THeadWait>> owner(
        static_cast<std::shared_ptr<THeadWait>*>(AContext));
    THeadWait& wait = **owner;
    BOOL ok = WinHttpSendRequest(wait.Request, wait.Headers.c_str(), static_cast<DWORD>(-1L),
                                 WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    if (ok) ok = WinHttpReceiveResponse(wait.Request, nullptr);
    const DWORD code = ok ? 0 : GetLastError();
    const std::lock_guard lock(wait.Lock);
    wait.Finished = true;
    wait.Ok = ok;
    wait.Code = code;
    wait.AbandonedRequest.reset();
    wait.AbandonedConnection.reset();
    SetEvent(wait.Done.get());
}

}  // namespace

bool SendAndReceiveHead(unique_hinternet& ARequest, unique_hinternet& AConnection, std::wstring AHeaders,
                        std::chrono::milliseconds ABound, TErrorCategory AFailure) {
    auto wait = std::make_shared<THeadWait>();
    if (!wait->Done.get()) ThrowLastError(TErrorCategory::Other);
    wait->Request = ARequest.get();
    wait->Headers = std::move(AHeaders);
    auto context = std::make_unique<std::shared_ptr<THeadWait>>(wait);
    if (!TrySubmitThreadpoolCallback(ReceiveHead, context.get(), nullptr))
        ThrowLastError(TErrorCategory::Other);
    context.release();  // the pool thread owns it now

    WaitDispatchingMessages(wait->Done.get(), ABound);

    const std::lock_guard lock(wait->Lock);
    if (!wait->Finished) {
        wait->AbandonedRequest = std::move(ARequest);
        wait->AbandonedConnection = std::move(AConnection);
        return false;
    }
    if (!wait->Ok) throw TTransportError(wait->Code, AFailure);
    return true;
}
