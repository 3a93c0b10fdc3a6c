// The menu window's remote-support tiles: run on the UI thread and block it while the shell copies.
#include "app/support_tools.h"

#include "app/application.h"
#include "app/frm_menu.h"
#include "app/program_path.h"
#include "app/startup_record.h"
#include "base/paths.h"
#include "base/string_convert.h"
#include "dialogs/message_dialogs.h"
#include "update/trust/content_verifier.h"
#include "update/files/file_operations.h"
#include "update/source/folder_source.h"
#include "update/source/source_manifest.h"

namespace {

// With verification, the program about to start must be the one the accepted manifest of the server
// folder lists. Empty when it is; otherwise why not.
std::wstring UnverifiedReason(const TFrmMenu& AForm, const std::wstring& AProgram, const wchar_t* AFileName) {
    TFolderSource source(AForm.wCaminhoServidor);
    const TAcceptance acceptance = AcceptSourceManifest(AForm.FVerification, source);
    if (!acceptance.Accepted()) return RefusalReason({acceptance.Refusal, acceptance.Detail, {}});
    const TManifestFile* entry = acceptance.Files.Find(AFileName);
    if (entry && FileMatchesManifest(*entry, AProgram)) return {};
    return L"arquivo alterado";
}

// The copy goes to the destination folder (resolved against the current directory), the start
// comes from the launcher's own folder: the same place when the launcher runs from its folder.
void RunSupportTool(TFrmMenu& AForm, const wchar_t* AFileName) {
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
