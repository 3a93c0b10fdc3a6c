// Builds a dialog for a text, measuring it with the dialog's fonts, and shows it.
#include <algorithm>

#include "base/error.h"
#include "base/win32_error.h"
#include "dialogs/dialog_text.h"
#include "dialogs/message_dialogs.h"
#include "dialogs/message_form.h"

namespace {

class WindowDC {
  public:
    explicit WindowDC(HWND hwnd) : hwnd_(hwnd), dc_(GetDC(hwnd)) {}
    ~WindowDC() { ReleaseDC(hwnd_, dc_); }
    WindowDC(const WindowDC&) = delete;
    WindowDC& operator=(const WindowDC&) = delete;
    HDC get() const { return dc_; }

  private:
    HWND hwnd_;
    HDC dc_;
};

HWND CreateChild(const wchar_t* cls, const wchar_t* text, DWORD style, DWORD exStyle, int id, HWND parent,
                 const RECT& r, HGDIOBJ font) {
    HWND h = CreateWindowExW(
        exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, r.left, r.top, r.right - r.left, r.bottom - r.top,
        parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    if (!h) ThrowLastError(TErrorCategory::Other);
    if (font) SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return h;
}

RECT ToRect(const DialogRect& d) { return {d.left, d.top, d.left + d.width, d.top + d.height}; }

}  // namespace

std::array<int, kMsgDlgBtnCount>& ButtonWidthCache() {
    static std::array<int, kMsgDlgBtnCount> cache{};
    return cache;
}

std::unique_ptr<TMessageForm> BuildDialogForm(std::wstring_view AText, TMsgDlgType ADlgType,
                                              TMsgDlgButtons AButtons, TMsgDlgBtn ADefaultButton) {
    const TMsgDlgButtons buttons = EffectiveButtons(ADlgType, AButtons);
    auto form = std::make_unique<TMessageForm>(nullptr);
    TMessageForm& f = *form;
    HWND hwnd = f.Handle();
    f.DlgType = ADlgType;
    const UINT rtl = f.rightToLeft_ ? DT_RTLREADING : 0;

    DialogMeasures m;
    m.screenWidth = GetSystemMetrics(SM_CXSCREEN);
    m.screenHeight = GetSystemMetrics(SM_CYSCREEN);
    m.hasIcon = DialogTypeHasIcon(ADlgType);
    m.buttonCount = buttons.Count();
    {
        WindowDC dc(hwnd);
        HGDIOBJ old = SelectObject(dc.get(), f.font_.get());
        static constexpr wchar_t kLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
        SIZE extent{};
        GetTextExtentPoint32W(dc.get(), kLetters, 52, &extent);
        m.cx = extent.cx / 52;
        m.cy = extent.cy;

        auto& cache = ButtonWidthCache();
        for (int i = 0; i < kMsgDlgBtnCount; ++i) {
            if (!buttons.Contains(static_cast<TMsgDlgBtn>(i))) continue;
            if (cache[static_cast<std::size_t>(i)] == 0) {
                const std::wstring_view caption = MsgDlgButtonTable()[static_cast<std::size_t>(i)].Caption;
                RECT r{0, 0, 0, 0};
                DrawTextW(dc.get(), caption.data(), static_cast<int>(caption.size()), &r,
                          DT_CALCRECT | DT_SINGLELINE | rtl);
                cache[static_cast<std::size_t>(i)] = r.right + 8;
            }
            m.widestButton = std::max(m.widestButton, cache[static_cast<std::size_t>(i)]);
        }

        // Measured with its terminating null, wrapping at half the screen width.
        const std::wstring text(AText);
        RECT r{0, 0, m.screenWidth / 2, 0};
        DrawTextW(dc.get(), text.c_str(), static_cast<int>(text.size()) + 1, &r,
                  DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_EDITCONTROL | rtl);
        m.textWidth = r.right;
        m.textHeight = r.bottom;
        SelectObject(dc.get(), old);
    }
    {
        RECT outer, client;
        GetWindowRect(hwnd, &outer);
        GetClientRect(hwnd, &client);
        m.frameWidth = (outer.right - outer.left) - client.right;
        m.frameHeight = (outer.bottom - outer.top) - client.bottom;
    }
    f.measures_ = m;
    const DialogLayout l = LayoutDialog(m);
    f.layout_ = l;

    const std::wstring caption(DialogTypeCaption(ADlgType, ApplicationTitle()));
    SetWindowTextW(hwnd, caption.c_str());
    SetWindowPos(hwnd, nullptr, l.left, l.top, l.clientWidth + m.frameWidth, l.clientHeight + m.frameHeight,
                 SWP_NOZORDER | SWP_NOACTIVATE);

    auto mirrored = [&](DialogRect r) {
        if (f.rightToLeft_) r.left = l.clientWidth - r.left - r.width;
        return ToRect(r);
    };

    if (m.hasIcon) CreateChild(L"STATIC", L"", SS_OWNERDRAW, 0, kImageId, hwnd, mirrored(l.icon), nullptr);

    // One line of the title font high, across the full client width.
    int titleHeight = 0;
    {
        WindowDC dc(hwnd);
        HGDIOBJ old = SelectObject(dc.get(), f.titleFont_.get());
        TEXTMETRICW tm{};
        GetTextMetricsW(dc.get(), &tm);
        titleHeight = tm.tmHeight;
        SelectObject(dc.get(), old);
    }
    f.Title = CreateChild(L"STATIC", caption.c_str(), SS_CENTER | SS_NOPREFIX, 0, kTitleId, hwnd,
                          RECT{0, l.titleTop, l.clientWidth, l.titleTop + titleHeight}, f.titleFont_.get());

    f.Message = std::make_unique<TTransparentMemo>(hwnd, kMessageId, l.memoScrolls ? WS_VSCROLL : 0);
    HWND memo = f.Message->Handle();
    SendMessageW(memo, WM_SETFONT, reinterpret_cast<WPARAM>(f.font_.get()), FALSE);
    SendMessageW(memo, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, 0);
    const RECT memoRect = mirrored(l.memo);
    MoveWindow(memo, memoRect.left, memoRect.top, memoRect.right - memoRect.left,
               memoRect.bottom - memoRect.top, FALSE);
    SetWindowTextW(memo, WithCrLfLineBreaks(AText).c_str());

    f.ButtonPanel = CreateWindowExW(0, kPanelClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0,
                                    l.clientHeight - l.stripHeight, l.clientWidth, l.stripHeight, hwnd,
                                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(kButtonPanelId)),
                                    GetModuleHandleW(nullptr), nullptr);
    if (!f.ButtonPanel) ThrowLastError(TErrorCategory::Other);

    f.cancelButton_ = CancelButtonOf(buttons);
    f.defaultButton_ = ResolveDefaultButton(buttons, ADefaultButton);
    int x = l.firstButtonX;
    for (int i = 0; i < kMsgDlgBtnCount; ++i) {
        const auto ordinal = static_cast<TMsgDlgBtn>(i);
        if (!buttons.Contains(ordinal)) continue;
        const std::wstring text(ButtonInfo(ordinal).Caption);
        HWND b = CreateChild(
            L"BUTTON", text.c_str(), BS_OWNERDRAW | WS_TABSTOP, 0, kFirstButtonId + i, f.ButtonPanel,
            RECT{x, l.buttonTop, x + l.buttonWidth, l.buttonTop + l.buttonHeight}, f.buttonFont_.get());
        f.buttons_.emplace_back(ordinal, b);
        x += l.buttonWidth + l.buttonSpacing;
    }
    return form;
}

std::unique_ptr<TMessageForm> NewDialogForm(std::wstring_view AText, TMsgDlgType ADlgType,
                                            TMsgDlgButtons AButtons, TMsgDlgBtn ADefaultButton) {
    return BuildDialogForm(AText, ADlgType, AButtons, ADefaultButton);
}

std::unique_ptr<TMessageForm> NewDialogForm(std::wstring_view AText, TMsgDlgType ADlgType,
                                            TMsgDlgButtons AButtons) {
    return NewDialogForm(AText, ADlgType, AButtons, PickDefaultButton(AButtons));
}

int ShowDialogForm(std::unique_ptr<TMessageForm> AForm, std::int32_t AHelpCtx, int AX, int AY,
                   std::wstring_view AHelpFileName) {
    // AForm is destroyed on every way out of here, an escaping error included.
    TMessageForm& f = *AForm;
    f.HelpContext = AHelpCtx;
    f.HelpFile = std::wstring(AHelpFileName);
    HWND hwnd = f.Handle();
    RECT r;
    GetWindowRect(hwnd, &r);
    int left = r.left, top = r.top;
    if (AX >= 0) left = AX;
    if (AY >= 0) top = AY;
    if (AX < 0 && AY < 0) {
        left = GetSystemMetrics(SM_CXSCREEN) / 2 - (r.right - r.left) / 2;
        top = GetSystemMetrics(SM_CYSCREEN) / 2 - (r.bottom - r.top) / 2;
    }
    SetWindowPos(hwnd, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    return f.ShowModal();
}
