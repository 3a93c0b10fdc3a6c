#include "update/transport/head_wait.h"

#include <memory>
#include <mutex>
#include <optional>

#include "tasks/task.h"
#include "update/transport/pumped_wait.h"

namespace {

// Shared by the caller and the task; the last of the two to let go frees it.
struct THeadWait {
    std::mutex Lock;
    HINTERNET Request = nullptr;
    std::wstring Headers;
    bool Finished = false;
    BOOL Ok = FALSE;
    DWORD Code = 0;
    // Filled when the caller stopped waiting: closed by the task once its calls return.
    unique_hinternet AbandonedRequest, AbandonedConnection;
};

void ReceiveHead(THeadWait& AWait) {
    BOOL ok = WinHttpSendRequest(AWait.Request, AWait.Headers.c_str(), static_cast<DWORD>(-1L),
                                 WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    if (ok) ok = WinHttpReceiveResponse(AWait.Request, nullptr);
    const DWORD code = ok ? 0 : GetLastError();
    const std::lock_guard lock(AWait.Lock);
    AWait.Finished = true;
    AWait.Ok = ok;
    AWait.Code = code;
    AWait.AbandonedRequest.reset();
    AWait.AbandonedConnection.reset();
}

}  // namespace

bool SendAndReceiveHead(unique_hinternet& ARequest, unique_hinternet& AConnection, std::wstring AHeaders,
                        std::chrono::milliseconds ABound, TErrorCategory AFailure) {
    auto wait = std::make_shared<THeadWait>();
    wait->Request = ARequest.get();
    wait->Headers = std::move(AHeaders);
    // On the process's pool; the task keeps the shared state alive for as long as WinHTTP holds it.
    const std::shared_ptr<ITask> task = TTask::New([wait] { ReceiveHead(*wait); })->Start();

    // A user who closes the launcher does not wait for the head either: the request is left behind
    // as when the bound passes.
    const TPumpedWaitEnd ended = WaitUnlessQuitRequested(task->EndedEvent(), ABound);

    const std::lock_guard lock(wait->Lock);
    if (!wait->Finished) {
        wait->AbandonedRequest = std::move(ARequest);
        wait->AbandonedConnection = std::move(AConnection);
        if (ended == TPumpedWaitEnd::QuitRequested) RaiseQuitRequested();
        return false;
    }
    if (!wait->Ok) throw TTransportError(wait->Code, AFailure);
    return true;
}
