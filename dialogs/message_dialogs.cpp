#include "dialogs/message_dialogs.h"

#include "dialogs/dialog_text.h"
#include "dialogs/message_form.h"

namespace {
std::wstring& TitleStore() {
    static std::wstring title = L"Aurevia";
    return title;
}
}  // namespace

const std::wstring& ApplicationTitle() { return TitleStore(); }
void SetApplicationTitle(std::wstring ATitle) { TitleStore() = std::move(ATitle); }

int DialogBox(std::wstring_view AText, TMsgDlgType ADlgType, TMsgDlgButtons AButtons, std::int32_t AHelpCtx,
              int AX, int AY, std::wstring_view AHelpFileName) {
    return ShowDialogForm(NewDialogForm(AText, ADlgType, AButtons), AHelpCtx, AX, AY, AHelpFileName);
}

int DialogBoxFmt(std::wstring_view AFormat, std::initializer_list<std::wstring> AArgs, TMsgDlgType ADlgType,
                 TMsgDlgButtons AButtons, std::int32_t AHelpCtx) {
    return DialogBox(FormatDialogText(AFormat, AArgs), ADlgType, AButtons, AHelpCtx, -1, -1, {});
}

void NoticeBox(std::wstring_view AText) { NoticeBox(AText, -1, -1); }

void NoticeBox(std::wstring_view AText, int AX, int AY) {
    DialogBox(AText, TMsgDlgType::mtCustom, {TMsgDlgBtn::OK}, 0, AX, AY, {});
}
