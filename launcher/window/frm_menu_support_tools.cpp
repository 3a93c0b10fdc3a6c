// The menu window's remote-support tiles: run on the UI thread and block it while the shell copies.
#include "launcher/support/support_tools.h"

#include "base/paths.h"
#include "dialogs/message_dialogs.h"
#include "launcher/catalogue/startup_record.h"
#include "launcher/settings/program_path.h"
#include "launcher/window/application.h"
#include "launcher/window/frm_menu.h"

namespace {

// The copy goes to the destination folder (resolved against the current directory), the start
// comes from the launcher's own folder: the same place when the launcher runs from its folder.
// With verification the tool is the signed one (launcher/support/support_tools.h) or is not started.
void RunSupportTool(TFrmMenu& AForm, const wchar_t* AFileName) {
    const std::wstring program = FolderOf(ProgramFileName()) + AFileName;
    if (AForm.FVerification.Enabled()) {
        const std::wstring refusal = UpdateSignedSupportTool(AForm.FVerification, AForm.wCaminhoServidor,
                                                             AForm.wCaminhoDestino, program, AFileName);
        if (!refusal.empty()) {
            DialogBoxFmt(L"%s não foi iniciado: %s.", {AFileName, refusal}, TMsgDlgType::mtWarning, {});
            return;
        }
    } else {
        AForm.CopyFromServer(AForm.wCaminhoServidor, AForm.wCaminhoDestino, AFileName);
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
