// The menu window's remote-support tiles: run on the UI thread and block it while the shell copies.
#include "launcher/support/support_tools.h"

#include "launcher/window/application.h"
#include "launcher/window/frm_menu.h"
#include "launcher/settings/program_path.h"
#include "launcher/catalogue/startup_record.h"
#include "base/paths.h"
#include "base/string_convert.h"
#include "dialogs/message_dialogs.h"
#include "update/plan/file_content_check.h"
#include "update/trust/content_verifier.h"
#include "update/disk/file_ages.h"
#include "update/disk/file_operations.h"
#include "update/source/folder_source.h"
#include "update/source/source_manifest.h"
#include "update/plan/rollout_acceptance.h"

namespace {

// With verification, the program about to start must be the one the accepted manifest of the server
// folder lists. Empty when it is; otherwise why not.
std::wstring UnverifiedReason(const TFrmMenu& AForm, const std::wstring& AProgram, const wchar_t* AFileName) {
    TFolderSource source(AForm.wCaminhoServidor);
    const TAcceptance acceptance = AcceptSourceManifest(AForm.FVerification, source);
    if (!acceptance.Accepted()) return RefusalReason({acceptance.Refusal, acceptance.Detail, {}, {}});
    const TManifestFile* entry = acceptance.Files.Find(AFileName);
    if (entry && FileMatchesManifest(*entry, AProgram)) return {};
    return L"arquivo alterado";
}

// Copies a release's file from its stored content in the server folder to ATarget, checked while it
// streams and given the release's age; ATarget keeps its previous content on any failure.
void InstallReleasedFile(const std::wstring& AServerFolder, const TReleaseFile& AFile,
                         const std::wstring& ATarget) {
    const std::wstring temporary = TemporaryNameBeside(ATarget);
    try {
        CheckReplaceable(ATarget);
        TContentVerifier verifier(ExpectedContent(AFile));
        CopyFileNoOverwrite(AServerFolder + ObjectName(AFile), temporary, verifier);
        verifier.Finish();
        SetFileAgeStrict(temporary, UnixToAge(AFile.AgeUnix));
        ReplaceWithTemporary(temporary, ATarget);
    } catch (const std::exception&) {
        DiscardTemporary(temporary);
    }
}

// Under release control: the tool of the assigned release, copied when the local one differs from it,
// and started only when the program in the launcher's folder is exactly that file.
void RunReleasedSupportTool(TFrmMenu& AForm, const TRelease& ARelease, const wchar_t* AFileName) {
    const std::wstring program = FolderOf(ProgramFileName()) + AFileName;
    const TReleaseFile* entry = FindReleaseFile(ARelease, WideToUtf8(AFileName));
    if (entry) {
        const std::wstring target = AForm.wCaminhoDestino + AFileName;
        if (!FileMatchesManifest(ExpectedContent(*entry), target))
            InstallReleasedFile(AForm.wCaminhoServidor, *entry, target);
    }
    if (!FileExists(program)) return;
    if (!entry || !FileMatchesManifest(ExpectedContent(*entry), program)) {
        DialogBoxFmt(L"%s não foi iniciado: %s.", {AFileName, L"arquivo alterado"}, TMsgDlgType::mtWarning,
                     {});
        return;
    }
    StartSupportTool(program, StartupInfo, ProcessInfo);
}

// The copy goes to the destination folder (resolved against the current directory), the start
// comes from the launcher's own folder: the same place when the launcher runs from its folder.
void RunSupportTool(TFrmMenu& AForm, const wchar_t* AFileName) {
    if (AForm.FVerification.Enabled()) {
        TFolderSource source(AForm.wCaminhoServidor);
        const TRolloutAcceptance rollout = AcceptRollout(AForm.FVerification, source);
        if (!rollout.Accepted()) {
            DialogBoxFmt(L"%s não foi iniciado: %s.",
                         {AFileName, RefusalReason({rollout.Refusal, rollout.Detail, {}, {}})},
                         TMsgDlgType::mtWarning, {});
            return;
        }
        if (rollout.RolloutMode()) {
            RunReleasedSupportTool(AForm, *rollout.Release, AFileName);
            return;
        }
    }
    AForm.CopyFromServer(AForm.wCaminhoServidor, AForm.wCaminhoDestino, AFileName);
    const std::wstring program = FolderOf(ProgramFileName()) + AFileName;
    if (AForm.FVerification.Enabled() && FileExists(program)) {
        const std::wstring reason = UnverifiedReason(AForm, program, AFileName);
        if (!reason.empty()) {
            DialogBoxFmt(L"%s não foi iniciado: %s.", {AFileName, reason}, TMsgDlgType::mtWarning, {});
            return;
        }
    }
    StartSupportTool(program, StartupInfo, ProcessInfo);
}

}  // namespace

void TFrmMenu::imgSuporteRemoto1Click(TImage*) { RunSupportTool(*this, kSupportTool1); }

void TFrmMenu::imgSuporteRemoto2Click(TImage*) { RunSupportTool(*this, kSupportTool2); }

void TFrmMenu::CopyFromServer(const std::wstring& ASourceFolder, const std::wstring& ADestinationFolder,
                              const std::wstring& AFileName) {
    ::CopyFromServer(ShellFileOperation, Handle(), ASourceFolder, ADestinationFolder, AFileName);
}
