// The tile catalogue and the update-then-launch flow. Everything here runs on the UI thread; the
// completions arrive on it from the files updater.
#include <windows.h>

#include <algorithm>

#include "launcher/window/application.h"
#include "launcher/window/elapsed_time.h"
#include "launcher/catalogue/folders.h"
#include "launcher/window/frm_menu.h"
#include "launcher/catalogue/startup_record.h"
#include "base/error_display.h"
#include "base/event_log.h"
#include "base/win32_error.h"
#include "base/paths.h"
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
    FModuleOptions.AddModule(&imgInternacao, L"Admission.exe", true);
    FModuleOptions.AddModule(&imgAgendaConsulta, L"Scheduling.exe", true);
    FModuleOptions.AddModule(&imgProntuario, L"Prescribing.exe", true);
    FModuleOptions.AddModule(&imgAtendimento, L"UrgentCare.exe", true);
    FModuleOptions.AddModule(&imgAgenCirurgia, L"SurgeryPlanner.exe", true);
    FModuleOptions.AddModule(&imgEstoque, L"Inventory.exe", true);
    FModuleOptions.AddModule(&imgSND, L"Dietetics.exe", true);
    FModuleOptions.AddModule(&imgCompras, L"Purchasing.exe", true);
    FModuleOptions.AddModule(&imgExames, L"LabTests.exe", true);
    FModuleOptions.AddModule(&imgFinanceiro, L"Treasury.exe", true);
    FModuleOptions.AddModule(&imgFaturamento, L"Invoicing.exe", true);
    FModuleOptions.AddModule(&imgGlosa, L"ClaimDenials.exe", true);
    FModuleOptions.AddModule(&imgSame, L"RecordsArchive.exe", true);
    FModuleOptions.AddModule(&imgCusto, L"CostAccounting.exe", true);
    FModuleOptions.AddModule(&imgControlEquip, L"EquipmentCare.exe", true);
    FModuleOptions.AddModule(&imgContrlDoenca, L"DiseaseWatch.exe", true);
    FModuleOptions.AddModule(&imgControlProntuario, L"ChartTracking.exe", true);
    FModuleOptions.AddModule(&imgTelemarketing, L"ContactCenter.exe", true);
    FModuleOptions.AddModule(&imgCheckBeiraLeito, L"BedsideCheck.exe", true);
    FModuleOptions.AddModule(&imgAdmSistema, L"SystemAdmin.exe", true);
    FModuleOptions.AddModule(&imgCadGeral, L"MasterData.exe", true);
    FModuleOptions.AddModule(&imgSuporteRemoto1, L"TeamViewerQS_pt.exe", false);
    FModuleOptions.AddModule(&imgSuporteRemoto2, L"Supremo.exe", false);
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

bool TFrmMenu::Unconfigured() const { return FUrl.empty() && FRemotePath == L"\\"; }

void TFrmMenu::RunUpdate(const std::wstring& AModuleName, bool AAdditionalFiles,
                         void (TFrmMenu::*AOnTerminate)()) {
    FUpdates.Begin(AModuleName);
    StartBusy();
    if (Unconfigured()) {
        // Without a server the update would walk the root of the current drive: skip it.
        (this->*AOnTerminate)();
        return;
    }
    try {
        auto updater =
            TFilesUpdater::New(FLocalPath, TFilesUpdater::SourceFor(FRemotePath, FUrl, FLimits),
                               FVerification, [this, AOnTerminate](const TVerificationReport& AReport) {
                                   // The program may be ending while fetches still run: only a
                                   // live window completes.
                                   if (FrmMenu != this) return;
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
        throw;
    }
}

void TFrmMenu::StartBusy() {
    FStart = LocalNow();
    pnlTemporizador.Show();
    aciTemporizador.Start();
    // Let the panel paint before the updater's listing holds the UI thread.
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
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
    if (FileExistsFollowingLinks(FSelectedModule)) {
        // The command line is the bare path, as the modules have always received it; naming the
        // program as well keeps a path with blanks from being searched piece by piece.
        std::wstring commandLine = FSelectedModule;
        if (CreateProcessW(FSelectedModule.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           nullptr, &StartupInfo, &ProcessInfo)) {
            LogEvent(TLogLine(TLogLevel::Info, "module-start")
                         .Add("path", FSelectedModule)
                         .Add("pid", ProcessInfo.dwProcessId));
            CloseHandle(ProcessInfo.hProcess);
            CloseHandle(ProcessInfo.hThread);
        } else {
            const Win32Error error(GetLastError(), TErrorCategory::Other);
            LogEvent(TLogLine(TLogLevel::Error, "module-start-failed")
                         .Add("path", FSelectedModule)
                         .Add("reason", error.what()));
        }
        return;
    }
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
}

void TFrmMenu::RunNextPending() {
    const auto waiting = FUpdates.Finish();
    if (!waiting) return;
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
