// The menu window's remote-support and mail areas: run on the UI thread and block it while the shell
// copies or the mail program runs.
#include "dialogs/message_dialogs.h"
#include "launcher/support/mapi_result_text.h"
#include "launcher/support/support_mail.h"
#include "launcher/support/support_tool_run.h"
#include "launcher/support/support_tools.h"
#include "launcher/window/application.h"
#include "launcher/window/frm_menu.h"

namespace {

void RunSupportToolOf(TFrmMenu& AForm, const wchar_t* AFileName) {
    RunSupportTool(AFileName, {AForm.wCaminhoServidor, AForm.wCaminhoDestino, AForm.FVerification},
                   [&] { AForm.CopyFromServer(AForm.wCaminhoServidor, AForm.wCaminhoDestino, AFileName); });
}

}  // namespace

void TFrmMenu::imgSuporteRemoto1Click(TImage*) { RunSupportToolOf(*this, kSupportTool1); }

void TFrmMenu::imgSuporteRemoto2Click(TImage*) { RunSupportToolOf(*this, kSupportTool2); }

void TFrmMenu::CopyFromServer(const std::wstring& ASourceFolder, const std::wstring& ADestinationFolder,
                              const std::wstring& AFileName) {
    ::CopyFromServer(ShellFileOperation, Handle(), ASourceFolder, ADestinationFolder, AFileName);
}

void TFrmMenu::imgEmailClick(TImage*) {
    const ULONG result = SendSupportMail(TSimpleMapi::Process(), Application.Handle());
    if (result != SUCCESS_SUCCESS) DialogBox(MapiResultText(result), TMsgDlgType::mtError, {}, 0);
}
