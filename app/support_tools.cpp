// The menu window's remote-support tiles: run on the UI thread and block it while the shell copies.
#include "app/support_tools.h"

#include "app/application.h"
#include "app/frm_menu.h"
#include "app/program_path.h"
#include "app/startup_record.h"
#include "base/paths.h"

namespace {

// The copy goes to the destination folder (resolved against the current directory), the start
// comes from the launcher's own folder: the same place when the launcher runs from its folder.
void RunSupportTool(TFrmMenu& AForm, const wchar_t* AFileName) {
    AForm.CopyFromServer(AForm.wCaminhoServidor, AForm.wCaminhoDestino, AFileName);
    StartSupportTool(FolderOf(ProgramFileName()) + AFileName, StartupInfo, ProcessInfo);
}

}  // namespace

void TFrmMenu::imgSuporteRemoto1Click(TImage*) { RunSupportTool(*this, kSupportTool1); }

void TFrmMenu::imgSuporteRemoto2Click(TImage*) { RunSupportTool(*this, kSupportTool2); }

void TFrmMenu::CopyFromServer(const std::wstring& ASourceFolder, const std::wstring& ADestinationFolder,
                              const std::wstring& AFileName) {
    ::CopyFromServer(ShellFileOperation, Handle(), ASourceFolder, ADestinationFolder, AFileName);
}
