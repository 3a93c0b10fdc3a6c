#include "launcher/fleet/fleet_reports.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>

#include "base/error.h"
#include "base/event_log.h"
#include "base/paths.h"
#include "base/string_convert.h"
#include "launcher/fleet/fleet_spool.h"
#include "tasks/task.h"

// Shared by the owner and the sending task, which holds a reference of its own: a task still waiting
// for a silent service when the owner goes keeps what it reads alive.
struct TFleetState {
    explicit TFleetState(TFleetSettings ASettings)
        : Settings(std::move(ASettings)),
          Spool(Settings.SpoolPath),
          TakesFormat2(Spool.ServiceTakesFormat2()) {}

    const TFleetSettings Settings;
    TFleetSpool Spool;  // the sending task's, and the closer's once no task sends
    // The service's last word on report format /2: reports are written as /2 only while it holds.
    std::atomic<bool> TakesFormat2;
    std::mutex Lock;
    std::condition_variable Idle;
    // Guarded by Lock.
    std::vector<std::string> Queue;
    TFleetRelease Release;
    TFleetStaged Staged;
    bool StagedKnown = false;  // a round of this launcher has said
    // A sending task is queued or running; only one at a time, so that reports leave in order.
    bool Busy = false;
    bool Stopping = false;
    // What the last task could not even spool: the sending task's only (Busy tells whose turn it is).
    std::vector<std::string> Unspooled;
};

namespace {

// The spool's lock is held for a file's read and write only: a wait past this means a stuck launcher,
// and the reports stay in memory for the next round instead.
constexpr DWORD kSpoolLockWaitMs = 10000;
// Closing adds what is still queued to the spool if it is free within this time.
constexpr DWORD kClosingLockWaitMs = 1000;
// Rounds of one delivery: reports other launchers spooled during a send go with the next round.
constexpr int kSendRounds = 3;

bool HasRelease(const TFleetRelease& ARelease) {
    return ARelease.Ring || ARelease.RolloutNumber || ARelease.RolloutSerial || ARelease.Release;
}

// The batch as this service takes it: reports of /2 as /1 unless it said it takes /2. AHasFormat2
// tells whether the text sent holds any /2.
std::string BatchFor(const std::vector<std::string>& ABatch, bool ATakesFormat2, bool& AHasFormat2) {
    AHasFormat2 = false;
    if (ATakesFormat2) {
        // FleetReportJson writes the format first.
        const std::string lead = "{\"format\":\"" + std::string(kFleetReportFormat2) + "\"";
        for (const std::string& report : ABatch) AHasFormat2 = AHasFormat2 || report.starts_with(lead);
        return FleetBatchText(ABatch);
    }
    std::vector<std::string> format1;
    format1.reserve(ABatch.size());
    for (const std::string& report : ABatch) format1.push_back(FleetReportAsFormat1(report));
    return FleetBatchText(format1);
}

// One batch to the service. A refusal by a service that does not (or no longer) take /2 of a batch
// that held /2 is not the batch's fault: it goes again as /1 at once, rather than be dropped.
TFleetDelivery PostBatch(TFleetState& AState, const std::vector<std::string>& ABatch) {
    bool hasFormat2 = false;
    bool takesFormat2 = false;
    TFleetDelivery delivery =
        PostFleetBatch(AState.Settings.Url, BatchFor(ABatch, AState.TakesFormat2.load(), hasFormat2),
                       AState.Settings.Timeouts, AState.Settings.Proxy, &takesFormat2);
    if (delivery == TFleetDelivery::Rejected && hasFormat2 && !takesFormat2)
        delivery = PostFleetBatch(AState.Settings.Url, BatchFor(ABatch, false, hasFormat2),
                                  AState.Settings.Timeouts, AState.Settings.Proxy, &takesFormat2);
    if (AState.TakesFormat2.exchange(takesFormat2) != takesFormat2) {
        AState.Spool.RememberServiceTakesFormat2(takesFormat2);
        LogEvent(TLogLine(TLogLevel::Info, "fleet-format")
                     .Add("format", std::string(takesFormat2 ? kFleetReportFormat2 : kFleetReportFormat)));
    }
    return delivery;
}

// On the sending task. Spools AReports (what this process has to report, oldest first; emptied once
// spooled), then, unless another launcher is sending already, sends what the spool holds.
void Deliver(TFleetState& AState, std::vector<std::string>& AReports) {
    if (!AReports.empty()) {
        if (!AState.Spool.Append(AReports, kSpoolLockWaitMs)) return;
        AReports.clear();
    }
    // The launcher that is sending takes ours with the spool.
    if (!AState.Spool.ClaimSending()) return;
    for (int round = 0; round < kSendRounds; ++round) {
        const std::vector<std::string> batch = AState.Spool.Peek(kSpoolLockWaitMs);
        if (batch.empty()) break;
        TFleetDelivery delivery;
        try {
            delivery = PostBatch(AState, batch);
        } catch (const Error& e) {
            // The batch stays in the spool for the next report; IT learns why it did not go.
            LogEvent(TLogLine(TLogLevel::Warn, "fleet-unsent")
                         .Add("reports", batch.size())
                         .Add("reason", e.what())
                         .Add("category", ErrorCategoryName(e.Category()))
                         .Add("code", ErrorCodeText(e.Code())));
            break;
        }
        if (delivery == TFleetDelivery::Rejected)
            LogEvent(TLogLine(TLogLevel::Warn, "fleet-rejected").Add("reports", batch.size()));
        // A rejected batch would be rejected for ever: it goes like a delivered one.
        AState.Spool.Remove(batch, kSpoolLockWaitMs);
    }
    AState.Spool.ReleaseSending();
}

// A task of the process's pool, started by the report that found no task sending: sends until the
// queue is empty, then ends. Closing stops it between two deliveries.
void SendQueued(const std::shared_ptr<TFleetState>& AState) {
    TFleetState& state = *AState;
    std::unique_lock lock(state.Lock);
    std::vector<std::string> pending = std::move(state.Unspooled);
    for (;;) {
        // Nothing left, or closing: what is still queued is the closer's to spool.
        if (state.Stopping || state.Queue.empty()) break;
        pending.insert(pending.end(), std::make_move_iterator(state.Queue.begin()),
                       std::make_move_iterator(state.Queue.end()));
        state.Queue.clear();
        lock.unlock();
        try {
            Deliver(state, pending);
        } catch (...) {
            // Out of memory at worst: these reports are lost, the launcher is not.
            pending.clear();
        }
        // Reports not even spooled wait for the next round; never more than a batch of them.
        TrimFleetBatch(pending);
        lock.lock();
    }
    if (state.Stopping) {
        state.Queue.insert(state.Queue.begin(), std::make_move_iterator(pending.begin()),
                           std::make_move_iterator(pending.end()));
    } else {
        state.Unspooled = std::move(pending);
    }
    state.Busy = false;
    state.Idle.notify_all();
}

// Under AState.Lock: starts the sending task unless one is at work.
void StartSending(const std::shared_ptr<TFleetState>& AState) {
    if (AState->Busy || AState->Stopping) return;
    AState->Busy = true;
    try {
        TTask::New([AState] { SendQueued(AState); })->Start();
    } catch (...) {
        // No task could be queued: the reports wait for the next one.
        AState->Busy = false;
    }
}

std::wstring EnvironmentValue(const wchar_t* AName) {
    const DWORD needed = GetEnvironmentVariableW(AName, nullptr, 0);
    if (needed <= 1) return {};
    std::wstring value(needed, L'\0');
    value.resize(GetEnvironmentVariableW(AName, value.data(), needed));
    return value;
}

std::wstring ComputerName() {
    for (const COMPUTER_NAME_FORMAT format : {ComputerNamePhysicalDnsHostname, ComputerNameNetBIOS}) {
        wchar_t name[256] = {};
        DWORD size = static_cast<DWORD>(std::size(name));
        if (GetComputerNameExW(format, name, &size) && size > 0) return std::wstring(name, size);
    }
    return L"-";
}

}  // namespace

void TFleetReports::Start(TFleetSettings ASettings) {
    if (ASettings.Url.empty()) return;
    std::lock_guard lock(FLock);
    if (FState) return;
    // A sending task starts with the first report; Close waits a little for one at work and then
    // leaves it to the end of the process.
    FState = std::make_shared<TFleetState>(std::move(ASettings));
}

bool TFleetReports::Enabled() const {
    std::lock_guard lock(FLock);
    return FState != nullptr;
}

void TFleetReports::SetRelease(const TFleetRelease& ARelease) {
    std::shared_ptr<TFleetState> state;
    {
        std::lock_guard lock(FLock);
        state = FState;
    }
    if (!state) return;
    std::lock_guard lock(state->Lock);
    state->Release = ARelease;
}

void TFleetReports::SetStaged(const TFleetStaged& AStaged) {
    std::shared_ptr<TFleetState> state;
    {
        std::lock_guard lock(FLock);
        state = FState;
    }
    if (!state) return;
    {
        std::lock_guard lock(state->Lock);
        if (state->StagedKnown && state->Staged.Release == AStaged.Release) return;
    }
    // The same release again keeps the time it was first found complete, also by an earlier
    // launcher: the note beside the spool holds it. Read and written only when the word changes.
    TFleetStaged staged = AStaged;
    const auto [release, since] = state->Spool.StagedSince();
    if (staged.Release && release == staged.Release)
        staged.Since = since;
    else if (release != staged.Release)
        state->Spool.RememberStagedSince(staged.Release, staged.Since);
    std::lock_guard lock(state->Lock);
    state->Staged = std::move(staged);
    state->StagedKnown = true;
}

void TFleetReports::Send(const TFleetReport& AReport) noexcept {
    try {
        std::shared_ptr<TFleetState> state;
        {
            std::lock_guard lock(FLock);
            state = FState;
        }
        if (!state) return;
        TFleetReport report = AReport;
        report.Text = ScrubbedText(report.Text, state->Settings.Secrets, "*");
        {
            std::lock_guard lock(state->Lock);
            if (!HasRelease(report.Release)) report.Release = state->Release;
            if (!report.Staged.Release) report.Staged = state->Staged;
        }
        std::string json =
            FleetReportJson(report, state->Settings.Origin, LocalLogTime(), state->TakesFormat2.load());
        {
            std::lock_guard lock(state->Lock);
            if (state->Stopping) return;
            state->Queue.push_back(std::move(json));
            if (state->Queue.size() > kFleetBatchReports) state->Queue.erase(state->Queue.begin());
            StartSending(state);
        }
    } catch (...) {
        // A report never costs the launcher anything: one that cannot be made is lost.
    }
}

bool TFleetReports::Flush(DWORD ATimeoutMs) {
    std::shared_ptr<TFleetState> state;
    {
        std::lock_guard lock(FLock);
        state = FState;
    }
    if (!state) return true;
    std::unique_lock lock(state->Lock);
    return state->Idle.wait_for(lock, std::chrono::milliseconds(ATimeoutMs),
                                [&] { return state->Queue.empty() && !state->Busy; });
}

void TFleetReports::Close() noexcept {
    std::shared_ptr<TFleetState> state;
    {
        std::lock_guard lock(FLock);
        state = std::move(FState);
    }
    if (!state) return;
    std::vector<std::string> queued;
    {
        std::unique_lock lock(state->Lock);
        state->Stopping = true;
        // A task that is only spooling is let finish; one that waits for the service is not waited for.
        state->Idle.wait_for(lock, std::chrono::milliseconds(state->Settings.CloseWaitMs),
                             [&] { return !state->Busy; });
        queued.swap(state->Queue);
        // What a finished task could not spool goes with the rest.
        if (!state->Busy)
            queued.insert(queued.begin(), std::make_move_iterator(state->Unspooled.begin()),
                          std::make_move_iterator(state->Unspooled.end()));
    }
    try {
        // Spooled, not sent: the next launcher sends them. Whatever the sender was sending is spooled
        // already.
        if (!queued.empty()) state->Spool.Append(queued, kClosingLockWaitMs);
    } catch (...) {
    }
}

TFleetReports& FleetReports() {
    static TFleetReports reports;
    return reports;
}

std::wstring DefaultFleetSpoolPath() {
    return PathJoin(FolderOf(DefaultEventLogPath()), L"fleet-spool.json");
}

TFleetSettings WorkstationFleetSettings(std::wstring AUrl, std::string ALauncherVersion) {
    TFleetSettings settings;
    settings.Url = std::move(AUrl);
    settings.SpoolPath = DefaultFleetSpoolPath();
    settings.Origin.Machine = WideToUtf8(ComputerName());
    settings.Origin.Version = std::move(ALauncherVersion);
    wchar_t user[257] = {};
    DWORD size = static_cast<DWORD>(std::size(user));
    std::wstring userName;
    if (GetUserNameW(user, &size)) userName = user;
    // The folders first: they hold the name, which would otherwise be replaced inside them.
    for (const std::wstring& secret :
         {EnvironmentValue(L"LOCALAPPDATA"), EnvironmentValue(L"APPDATA"), EnvironmentValue(L"USERPROFILE"),
          userName, EnvironmentValue(L"USERNAME")})
        if (!secret.empty()) settings.Secrets.push_back(WideToUtf8(secret));
    return settings;
}
