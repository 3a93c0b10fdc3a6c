#pragma once
// The suite's own message dialogs: every message the launcher shows goes through these functions.
// All of them run on the UI thread; those that show a dialog return only when it has ended, with the
// result of the button that ended it (IDOK 1, IDABORT 3, IDRETRY 4, IDIGNORE 5, IDYES 6, IDNO 7,
// 12 All, 13 NoToAll, 14 YesToAll; Cancel answers 3).
//
// <windows.h> defines DialogBox as a macro; this header includes it first and removes the macro so
// that the name below can be called. Include it after any other header that might need the macro.
#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "dialogs/dialog_types.h"

#ifdef DialogBox
#undef DialogBox
#endif

// Shows a dialog with AText. AX and AY are screen coordinates of its left and top edges; a negative
// value leaves that coordinate to the layout, and both negative centre the dialog on the screen.
int DialogBox(std::wstring_view AText, TMsgDlgType ADlgType, TMsgDlgButtons AButtons,
              std::int32_t AHelpCtx = 0, int AX = -1, int AY = -1, std::wstring_view AHelpFileName = {});

// Formats AFormat with AArgs and shows it as DialogBox does, centred and without a help file.
// The arguments are strings: each "%s" takes the next one, "%%" is a percent sign, and any other
// placeholder, or a "%s" with no argument left, raises an Error. Example:
//   DialogBoxFmt(L"Módulo não instalado.\r\n%s", {modulePath}, TMsgDlgType::mtInformation, {});
int DialogBoxFmt(std::wstring_view AFormat, std::initializer_list<std::wstring> AArgs, TMsgDlgType ADlgType,
                 TMsgDlgButtons AButtons, std::int32_t AHelpCtx = 0);

// A plain notice: the application title, no icon, one OK button.
void NoticeBox(std::wstring_view AText);
void NoticeBox(std::wstring_view AText, int AX, int AY);

// The application title shown by mtCustom dialogs ("Aurevia" unless the entry sets another).
const std::wstring& ApplicationTitle();
void SetApplicationTitle(std::wstring ATitle);
