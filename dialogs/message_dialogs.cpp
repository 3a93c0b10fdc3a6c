#include "dialogs/message_dialogs.h"

#include "base/event_log.h"

#include "dialogs/dialog_text.h"
#include "dialogs/message_form.h"

namespace {
std::wstring& TitleStore() {
    static std::wstring title = L"Aurevia";
    return title;
}
// Every message the launcher shows is one line of the log, so IT can read what a user saw.
void LogShown(std::wstring_view AText, TMsgDlgType ADlgType) {
    static constexpr const char* kNames[] = {"warning", "error", "information", "confirmation", "notice"};
    const TLogLevel level = ADlgType == TMsgDlgType::mtError     ? TLogLevel::Error
                            : ADlgType == TMsgDlgType::mtWarning ? TLogLevel::Warn
                                                                 : TLogLevel::Info;
    LogEvent(TLogLine(level, "message").Add("type", kNames[static_cast<int>(ADlgType)]).Add("text", AText));
}

}  // namespace

const std::wstring& ApplicationTitle() { return TitleStore(); }
void SetApplicationTitle(std::wstring ATitle) { TitleStore() = std::move(ATitle); }

int DialogBox(std::wstring_view AText, TMsgDlgType ADlgType, TMsgDlgButtons AButtons, std::int32_t AHelpCtx,
              int AX, int AY, std::wstring_view AHelpFileName) {
    LogShown(AText, ADlgType);
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
