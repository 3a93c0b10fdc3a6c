#pragma once
// The message dialog window (message_form.cpp), its keyboard (message_form_keys.cpp) and the
// functions that build and show it (message_form_build.cpp). Everything here runs on the UI thread.
#include <windows.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/handles.h"
#include "dialogs/dialog_layout.h"
#include "dialogs/dialog_types.h"
#include "dialogs/transparent_memo.h"

// Control identifiers inside the dialog (GetDlgItem on the dialog, buttons on the strip).
inline constexpr int kImageId = 100;
inline constexpr int kTitleId = 101;
inline constexpr int kMessageId = 102;
inline constexpr int kButtonPanelId = 103;
inline constexpr int kFirstButtonId = 200;  // + the button's ordinal

// Window classes of the dialog and of its button strip.
inline constexpr wchar_t kFormClass[] = L"AureviaMessageForm";
inline constexpr wchar_t kPanelClass[] = L"AureviaMessageButtonPanel";

inline constexpr COLORREF kDialogColor = RGB(245, 245, 245);
inline constexpr BYTE kDialogAlpha = 245;

class TMessageForm {
  public:
    // Creates the hidden, borderless window (the base of every dialog). AOwner may be null; the
    // window that is active when the dialog is shown becomes its owner then.
    explicit TMessageForm(HWND AOwner);
    ~TMessageForm();
    TMessageForm(const TMessageForm&) = delete;
    TMessageForm& operator=(const TMessageForm&) = delete;

    HWND Handle() const { return hwnd_.get(); }

    std::unique_ptr<TTransparentMemo> Message;
    HWND Title = nullptr;
    HWND ButtonPanel = nullptr;
    TMsgDlgType DlgType = TMsgDlgType::mtCustom;
    std::int32_t HelpContext = 0;
    std::wstring HelpFile;

    // Shows the dialog modally: returns the result of the button that ended it, or 0 when the message
    // loop was told to quit (the quit message is posted again for the caller's loop).
    int ShowModal();

    // The button controls in creation order, with their ordinals.
    const std::vector<std::pair<TMsgDlgBtn, HWND>>& Buttons() const { return buttons_; }
    // The layout the dialog was built from, and the measures it was fed with.
    const DialogLayout& Layout() const { return layout_; }
    const DialogMeasures& Measures() const { return measures_; }

    // Presses a button as a click does: a button with a non-zero result ends the dialog.
    void PressButton(TMsgDlgBtn button);
    // What Ctrl+C does: beep and copy the dialog's text to the clipboard.
    void CopyToClipboard();

  private:
    friend std::unique_ptr<TMessageForm> BuildDialogForm(std::wstring_view, TMsgDlgType, TMsgDlgButtons,
                                                         TMsgDlgBtn);
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    static LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT OnMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    bool PreviewKey(const MSG& msg);
    void DrawButton(const DRAWITEMSTRUCT& item);
    void MoveFocus(int step);

    unique_gdi font_;        // the dialog's font: Segoe UI 12 pt
    unique_gdi titleFont_;   // Segoe UI Black 12 pt
    unique_gdi buttonFont_;  // Segoe UI 10 pt
    unique_gdi backBrush_;
    unique_gdi stripBrush_;
    DialogMeasures measures_;
    DialogLayout layout_;
    std::vector<std::pair<TMsgDlgBtn, HWND>> buttons_;
    TMsgDlgBtn defaultButton_ = TMsgDlgBtn::OK;
    TMsgDlgBtn cancelButton_ = TMsgDlgBtn::OK;
    bool rightToLeft_ = false;
    int modalResult_ = 0;
    unique_hwnd hwnd_;  // last: destroyed first, while the fonts it uses still exist
};

// Creates and lays out a dialog for AText; the caller owns it. An empty set becomes {Yes, No} for a
// confirmation and {OK} otherwise; a default button outside the set falls to the set's first button.
std::unique_ptr<TMessageForm> BuildDialogForm(std::wstring_view AText, TMsgDlgType ADlgType,
                                              TMsgDlgButtons AButtons, TMsgDlgBtn ADefaultButton);
std::unique_ptr<TMessageForm> NewDialogForm(std::wstring_view AText, TMsgDlgType ADlgType,
                                            TMsgDlgButtons AButtons, TMsgDlgBtn ADefaultButton);
// Picks the default button: OK, else Yes, else Retry.
std::unique_ptr<TMessageForm> NewDialogForm(std::wstring_view AText, TMsgDlgType ADlgType,
                                            TMsgDlgButtons AButtons);

// Sets the help context and file, places the form (a coordinate of 0 or more is its left or top
// edge; both negative centre it on the screen), shows it modally and destroys it whatever happens.
int ShowDialogForm(std::unique_ptr<TMessageForm> AForm, std::int32_t AHelpCtx, int AX, int AY,
                   std::wstring_view AHelpFileName);

// The process-wide cache of measured button widths (caption + 8), 0 for a button not measured yet.
// Touched only by the UI thread.
std::array<int, kMsgDlgBtnCount>& ButtonWidthCache();

// What a press on Help does: the application's help for the dialog's context and help file. The
// launcher has no help system of its own, so nothing happens until the application installs one.
using TDialogHelpHandler = std::function<void(std::int32_t AHelpCtx, const std::wstring& AHelpFile)>;
void SetDialogHelpHandler(TDialogHelpHandler AHandler);
