// The menu window's mail tile: runs on the UI thread and blocks it until the mail program returns.
#include "launcher/support/support_mail.h"

#include "launcher/window/application.h"
#include "launcher/window/frm_menu.h"
#include "launcher/support/mapi_result_text.h"
#include "dialogs/message_dialogs.h"

void TFrmMenu::imgEmailClick(TImage*) {
    const ULONG result = SendSupportMail(TSimpleMapi::Process(), Application.Handle());
    if (result != SUCCESS_SUCCESS) DialogBox(MapiResultText(result), TMsgDlgType::mtError, {}, 0);
}
