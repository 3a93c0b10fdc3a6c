// The tile catalogue and the update-then-launch flow. Everything here runs on the UI thread; the
// completions arrive on it from the files updater.
#include <windows.h>

#include <algorithm>

#include "launcher/window/application.h"
#include "launcher/window/elapsed_time.h"
#include "launcher/catalogue/module_start.h"
#include "launcher/window/frm_menu.h"
#include "base/error_display.h"
#include "base/paths.h"
#include "update/transport/pumped_wait.h"
#include "update/plan/stored_objects_source.h"
#include "update/updater/files_updater.h"
#include "dialogs/message_dialogs.h"

namespace {

TDateTime LocalNow() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return EncodeDateTime(DateTimeParts{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                                        now.wMilliseconds});
}

std::wstring UserTimeSeparator() {
    wchar_t separator[8] = {};
    if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_STIME, separator,
                        static_cast<int>(std::size(separator))) < 2)
        return L":";
    return std::wstring(1, separator[0]);
}

}  // namespace

void TFrmMenu::BuildCatalogue() {
    FModuleOptions = TModuleOptions();
    for (size_t i = 0; i < kTileCount; ++i)
        if (kTiles[i].Executable)
            FModuleOptions.AddModule(&FComponents[i], kTiles[i].Executable, kTiles[i].AdditionalFiles);
}

void TFrmMenu::imgClick(TImage* Sender) {
    TModuleInfo info;
    // A picture without an entry starts nothing: there is no module to name.
    if (!FModuleOptions.TryGetModule(Sender, info) || info.FModuleName.empty()) return;
    SelectModule(info.FModuleName, info.FAdditionalFiles);
}

void TFrmMenu::SelectModule(const std::wstring& AModuleName, bool AAdditionalFiles) {
    if (FUpdates.Defer(AModuleName, AAdditionalFiles)) return;
    FSelectedModule = PathJoin(FLocalPath, AModuleName);
    RunUpdate(AModuleName, AAdditionalFiles, &TFrmMenu::LaunchSelectedModule);
}

bool TFrmMenu::Unconfigured() const { return !HasServer(FSettings); }

void TFrmMenu::RunUpdate(const std::wstring& AModuleName, bool AAdditionalFiles,
                         void (TFrmMenu::*AOnTerminate)()) {
    FUpdates.Begin(AModuleName);
    // The user waits for this update: the background fetch stops reading until the queue is empty.
    PauseStaging();
    StartBusy();
    if (Unconfigured()) {
        // Without a server the update would walk the root of the current drive: skip it.
        (this->*AOnTerminate)();
        return;
    }
    try {
        std::shared_ptr<TStoredObjectsSource> stored;
        // Before the completion is made: it keeps the store's counters.
        std::shared_ptr<IUpdateSource> source = UpdateSource(stored);
        auto updater =
            TFilesUpdater::New(FLocalPath, std::move(source), FVerification,
                               [this, AOnTerminate, stored, AModuleName](const TVerificationReport& AReport) {
                                   // The program may be ending while fetches still run: only a
                                   // live window completes.
                                   if (FrmMenu != this) return;
                                   if (stored) LogStoreUse(AModuleName, *stored);
                                   FVerificationMessage = VerificationMessage(AReport);
                                   FRolloutState = AReport.Rollout;
                                   GuardEvent([this, AOnTerminate] { (this->*AOnTerminate)(); });
                               });
        updater->Execute(AModuleName, AAdditionalFiles);
        pnlTemporizador.ShowProgress(updater->Progress());
        // The updater keeps itself alive until its completion has run.
    } catch (...) {
        // No completion will come: nothing may stay busy, and waiting clicks would meet the same
        // error one after another.
        HideBusy();
        FUpdates.Abandon();
        ResumeStaging();
        throw;
    }
}

void TFrmMenu::StartBusy() {
    FStart = LocalNow();
    pnlTemporizador.Show();
    aciTemporizador.Start();
    // Let the panel paint before the updater's listing holds the UI thread.
    DispatchWaitingMessages();
}

void TFrmMenu::HideBusy() {
    pnlTemporizador.ShowProgress(nullptr);
    pnlTemporizador.Hide();
    aciTemporizador.Stop();
}

void TFrmMenu::StopBusy() {
    // With updates still waiting the panel stays: the next one starts at once.
    if (FPending.empty()) HideBusy();
    const int64_t elapsed = ToMilliseconds(LocalNow() - FStart);
    SetCaption(Application.Title() + L" Tempo do update : " + FormatElapsed(elapsed, UserTimeSeparator()));
}

void TFrmMenu::ShowVerificationMessage() {
    // Taken before the dialog: its modal loop may let the next update complete meanwhile.
    const std::wstring message = std::move(FVerificationMessage);
    FVerificationMessage.clear();
    if (!message.empty()) DialogBox(message, TMsgDlgType::mtWarning, {}, 0);
}

void TFrmMenu::StartSelectedModule() {
    if (!StartModule(FSelectedModule))
        DialogBoxFmt(L"Módulo não instalado.\r\n%s", {FSelectedModule}, TMsgDlgType::mtInformation, {}, 0);
}

void TFrmMenu::LaunchSelectedModule() {
    struct NextOnExit {
        TFrmMenu* form;
        ~NextOnExit() { form->RunNextPending(); }
    } next{this};
    if (!Unconfigured()) {
        StopBusy();
    } else if (FPending.empty()) {
        HideBusy();
    }
    // The module already on the workstation starts also when the update was refused: its files were
    // checked when they arrived.
    ShowVerificationMessage();
    StartSelectedModule();
}

void TFrmMenu::FinishStartupRefresh() {
    struct NextOnExit {
        TFrmMenu* form;
        ~NextOnExit() { form->RunNextPending(); }
    } next{this};
    if (Unconfigured()) {
        if (FPending.empty()) HideBusy();
    } else {
        StopBusy();
    }
    ShowVerificationMessage();
    StartStaging();
}

void TFrmMenu::RunNextPending() {
    const auto waiting = FUpdates.Finish();
    if (!waiting) {
        ResumeStaging();
        return;
    }
    const TModuleInfo& next = *waiting;
    // Runs from a completion: an error here is shown like any other event's.
    GuardEvent([&] {
        if (next.FModuleName.empty()) {
            RunUpdate(L"", true, &TFrmMenu::FinishStartupRefresh);
        } else {
            SelectModule(next.FModuleName, next.FAdditionalFiles);
        }
    });
}

void TFrmMenu::Timer1Timer() {
    KillTimer(FHandle.get(), kTimer1);
    if (FUpdating) {
        SelectModule(L"", true);  // waits like a click
        return;
    }
    RunUpdate(L"", true, &TFrmMenu::FinishStartupRefresh);
}
