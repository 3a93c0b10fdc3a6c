#include "dialogs/message_form.h"

#include <algorithm>
#include <utility>

#include "base/error.h"
#include "base/error_display.h"
#include "base/string_convert.h"
#include "base/win32_error.h"
#include "dialogs/dialog_glyphs.h"
#include "dialogs/dialog_text.h"
#include "dialogs/message_dialogs.h"

namespace {
constexpr wchar_t kFormClass[] = L"AureviaMessageForm";
constexpr wchar_t kPanelClass[] = L"AureviaMessageButtonPanel";
constexpr int kBorderWidth = 2;
constexpr COLORREF kFrameColor = RGB(150, 150, 150);
constexpr int kGlyphSize = 16;
// SC_MOVE combined with the caption hit code: the system drags the window with the mouse.
constexpr WPARAM kScDragMove = 0xF012;

TDialogHelpHandler& HelpHandler() {
    static TDialogHelpHandler handler;
    return handler;
}

void RegisterClasses() {
    static const bool registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        // The dialog casts a shadow.
        wc.style = CS_DROPSHADOW;
        wc.lpfnWndProc = DefWindowProcW;  // replaced per window once its object is attached
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.lpszClassName = kFormClass;
        if (!RegisterClassExW(&wc)) ThrowLastError();
        wc.style = 0;
        wc.lpszClassName = kPanelClass;
        if (!RegisterClassExW(&wc)) ThrowLastError();
        return true;
    }();
    (void)registered;
}

unique_gdi MakeFont(const wchar_t* face, int points, int weight) {
    HDC screen = GetDC(nullptr);
    const int height = -::MulDiv(points, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    unique_gdi font(CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                DEFAULT_PITCH | FF_DONTCARE, face));
    if (!font) ThrowLastError();
    return font;
}

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
    if (!h) ThrowLastError();
    if (font) SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return h;
}

RECT ToRect(const DialogRect& d) { return {d.left, d.top, d.left + d.width, d.top + d.height}; }

std::wstring WindowText(HWND h) {
    std::wstring s(static_cast<std::size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
    s.resize(static_cast<std::size_t>(GetWindowTextW(h, s.data(), static_cast<int>(s.size()))));
    return s;
}

void PutOnClipboard(const std::wstring& text) {
    if (!OpenClipboard(nullptr)) {
        const DWORD code = GetLastError();
        throw Win32Error(code, "Cannot open clipboard: " + WideToUtf8(SystemErrorText(code)));
    }
    struct Closer {
        ~Closer() { CloseClipboard(); }
    } closer;
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, bytes);
    if (!memory) ThrowLastError();
    try {
        void* p = GlobalLock(memory);
        if (!p) ThrowLastError();
        std::copy_n(text.c_str(), text.size() + 1, static_cast<wchar_t*>(p));
        GlobalUnlock(memory);
        if (!EmptyClipboard()) ThrowLastError();
        if (!SetClipboardData(CF_UNICODETEXT, memory)) ThrowLastError();
    } catch (...) {
        GlobalFree(memory);
        throw;
    }
}

int ClientHeightOf(HWND h) {
    RECT r;
    GetClientRect(h, &r);
    return r.bottom;
}

bool KeyDown(int vk) { return (GetKeyState(vk) & 0x8000) != 0; }
}  // namespace

std::array<int, kMsgDlgBtnCount>& ButtonWidthCache() {
    static std::array<int, kMsgDlgBtnCount> cache{};
    return cache;
}

void SetDialogHelpHandler(TDialogHelpHandler AHandler) { HelpHandler() = std::move(AHandler); }

TMessageForm::TMessageForm(HWND AOwner) {
    RegisterClasses();
    font_ = MakeFont(L"Segoe UI", 12, FW_NORMAL);
    // Segoe UI Black is a weight-900 face: asking for that weight keeps the heavy look where the
    // system substitutes another family for it.
    titleFont_ = MakeFont(L"Segoe UI Black", 12, FW_BLACK);
    buttonFont_ = MakeFont(L"Segoe UI", 10, FW_NORMAL);
    backBrush_.reset(CreateSolidBrush(kDialogColor));
    // The strip is the dialog colour at luminance 200 of 240.
    stripBrush_.reset(CreateSolidBrush(ColorWithLuminance(kDialogColor, 200)));
    rightToLeft_ = [] {
        DWORD layout = 0;
        return GetProcessDefaultLayout(&layout) && (layout & LAYOUT_RTL) != 0;
    }();

    // No caption, no system menu, not resizable; the 2-pixel border is drawn in WM_NCPAINT.
    hwnd_.reset(CreateWindowExW(WS_EX_LAYERED | (rightToLeft_ ? WS_EX_RTLREADING : 0), kFormClass, L"",
                                WS_POPUP, 0, 0, 320, 200, AOwner, nullptr, GetModuleHandleW(nullptr),
                                nullptr));
    if (!hwnd_) ThrowLastError();
    SetWindowLongPtrW(hwnd_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(hwnd_.get(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TMessageForm::WndProc));
    // The new procedure sizes the client area only from now on: recompute the frame.
    SetWindowPos(hwnd_.get(), nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    SetLayeredWindowAttributes(hwnd_.get(), 0, kDialogAlpha, LWA_ALPHA);
    SendMessageW(hwnd_.get(), WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
}

TMessageForm::~TMessageForm() {
    if (hwnd_) SetWindowLongPtrW(hwnd_.get(), GWLP_USERDATA, 0);
    hwnd_.reset();
}

LRESULT CALLBACK TMessageForm::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<TMessageForm*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
    return self->OnMessage(msg, wp, lp);
}

LRESULT CALLBACK TMessageForm::PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_COMMAND:
        case WM_DRAWITEM:
            // The buttons sit on the strip but belong to the dialog.
            return SendMessageW(GetParent(hwnd), msg, wp, lp);
        case WM_ERASEBKGND: {
            auto* form = reinterpret_cast<TMessageForm*>(GetWindowLongPtrW(GetParent(hwnd), GWLP_USERDATA));
            if (!form) break;
            RECT r;
            GetClientRect(hwnd, &r);
            FillRect(reinterpret_cast<HDC>(wp), &r, static_cast<HBRUSH>(form->stripBrush_.get()));
            return 1;
        }
        default:
            break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT TMessageForm::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
    HWND hwnd = hwnd_.get();
    switch (msg) {
        case WM_NCCALCSIZE:
            if (wp) {
                auto* p = reinterpret_cast<NCCALCSIZE_PARAMS*>(lp);
                InflateRect(&p->rgrc[0], -kBorderWidth, -kBorderWidth);
                return 0;
            }
            InflateRect(reinterpret_cast<RECT*>(lp), -kBorderWidth, -kBorderWidth);
            return 0;
        case WM_NCPAINT: {
            HDC dc = GetWindowDC(hwnd);
            RECT r;
            GetWindowRect(hwnd, &r);
            OffsetRect(&r, -r.left, -r.top);
            unique_gdi frame(CreateSolidBrush(kFrameColor));
            for (int i = 0; i < kBorderWidth; ++i) {
                FrameRect(dc, &r, static_cast<HBRUSH>(frame.get()));
                InflateRect(&r, -1, -1);
            }
            ReleaseDC(hwnd, dc);
            return 0;
        }
        case WM_NCACTIVATE:
            return TRUE;  // nothing of the frame depends on activation
        case WM_ERASEBKGND: {
            RECT r;
            GetClientRect(hwnd, &r);
            FillRect(reinterpret_cast<HDC>(wp), &r, static_cast<HBRUSH>(backBrush_.get()));
            return 1;
        }
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT: {
            HWND control = reinterpret_cast<HWND>(lp);
            if (Message && control == Message->Handle())
                return SendMessageW(control, msg == WM_CTLCOLOREDIT ? CN_CTLCOLOREDIT : CN_CTLCOLORSTATIC, wp,
                                    lp);
            HDC dc = reinterpret_cast<HDC>(wp);
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, RGB(0, 0, 0));
            return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
        }
        case WM_DRAWITEM: {
            const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
            if (item.CtlID == kImageId) {
                DrawDialogIcon(item.hDC, item.rcItem.left, item.rcItem.top, DlgType, kDialogColor);
            } else if (item.CtlType == ODT_BUTTON) {
                DrawButton(item);
            }
            return TRUE;
        }
        case WM_COMMAND: {
            const int id = LOWORD(wp);
            if (HIWORD(wp) == BN_CLICKED && id >= kFirstButtonId && id < kFirstButtonId + kMsgDlgBtnCount) {
                GuardEvent([&] { PressButton(static_cast<TMsgDlgBtn>(id - kFirstButtonId)); });
                return 0;
            }
            break;
        }
        case WM_SIZE:
            // The title spans the client width whatever the width becomes.
            if (Title)
                SetWindowPos(Title, nullptr, 0, 0, LOWORD(lp), ClientHeightOf(Title),
                             SWP_NOMOVE | SWP_NOZORDER);
            break;
        case WM_LBUTTONDOWN:
        case WM_RBUTTONDOWN:
        case WM_MBUTTONDOWN:
            // A press anywhere on the background (or the title, which lets the mouse through) drags.
            ReleaseCapture();
            SendMessageW(hwnd, WM_SYSCOMMAND, kScDragMove, 0);
            return 0;
        case WM_CLOSE:
            // Alt+F4 answers as Escape does.
            if (ButtonInfo(cancelButton_).Result != 0 &&
                std::any_of(buttons_.begin(), buttons_.end(),
                            [&](auto& b) { return b.first == cancelButton_; }))
                PressButton(cancelButton_);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

void TMessageForm::DrawButton(const DRAWITEMSTRUCT& item) {
    const auto ordinal = static_cast<TMsgDlgBtn>(item.CtlID - kFirstButtonId);
    const TMsgDlgButtonInfo& info = ButtonInfo(ordinal);
    HDC dc = item.hDC;
    RECT r = item.rcItem;
    const bool pressed = (item.itemState & ODS_SELECTED) != 0;
    const bool focused = (item.itemState & ODS_FOCUS) != 0;
    const bool isDefault = ordinal == defaultButton_;

    const COLORREF face = pressed ? RGB(204, 228, 247) : RGB(250, 250, 250);
    unique_gdi faceBrush(CreateSolidBrush(face));
    FillRect(dc, &r, static_cast<HBRUSH>(faceBrush.get()));
    unique_gdi edge(CreateSolidBrush(isDefault || focused ? RGB(0, 120, 215) : RGB(173, 173, 173)));
    FrameRect(dc, &r, static_cast<HBRUSH>(edge.get()));
    if (isDefault) {
        RECT inner = r;
        InflateRect(&inner, -1, -1);
        FrameRect(dc, &inner, static_cast<HBRUSH>(edge.get()));
    }

    HGDIOBJ oldFont = SelectObject(dc, buttonFont_.get());
    RECT textRect{0, 0, 0, 0};
    DrawTextW(dc, info.Caption.data(), static_cast<int>(info.Caption.size()), &textRect,
              DT_CALCRECT | DT_SINGLELINE);
    const bool hasGlyph = info.Glyph != TButtonGlyph::None;
    const int gap = hasGlyph ? 6 : 0;
    const int contentWidth = (hasGlyph ? kGlyphSize : 0) + gap + (textRect.right - textRect.left);
    int x = r.left + std::max(4L, (r.right - r.left - contentWidth) / 2);
    const int shift = pressed ? 1 : 0;
    if (hasGlyph) {
        DrawButtonGlyph(dc, x + shift, r.top + (r.bottom - r.top - kGlyphSize) / 2 + shift, kGlyphSize,
                        info.Glyph, face);
        x += kGlyphSize + gap;
    }
    RECT label{x + shift, r.top + shift, r.right - 2, r.bottom + shift};
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 0, 0));
    DrawTextW(dc, info.Caption.data(), static_cast<int>(info.Caption.size()), &label,
              DT_SINGLELINE | DT_VCENTER | DT_LEFT | (rightToLeft_ ? DT_RTLREADING : 0));
    SelectObject(dc, oldFont);

    if (focused) {
        RECT f = r;
        InflateRect(&f, -4, -4);
        DrawFocusRect(dc, &f);
    }
}

void TMessageForm::PressButton(TMsgDlgBtn button) {
    // Escape falls back on OK even where OK is not shown; a button that is not there does nothing.
    if (std::none_of(buttons_.begin(), buttons_.end(), [&](const auto& b) { return b.first == button; }))
        return;
    const TMsgDlgButtonInfo& info = ButtonInfo(button);
    if (button == TMsgDlgBtn::Help) {
        if (HelpHandler()) HelpHandler()(HelpContext, HelpFile);
        return;
    }
    if (info.Result != 0) modalResult_ = info.Result;
}

void TMessageForm::CopyToClipboard() {
    MessageBeep(0);
    std::vector<std::wstring> captions;
    for (const auto& [ordinal, h] : buttons_) captions.push_back(WindowText(h));
    PutOnClipboard(DialogClipboardText(WindowText(hwnd_.get()), WindowText(Message->Handle()), captions));
}

void TMessageForm::MoveFocus(int step) {
    std::vector<HWND> order;
    order.push_back(Message->Handle());
    for (const auto& b : buttons_) order.push_back(b.second);
    const HWND focus = GetFocus();
    auto it = std::find(order.begin(), order.end(), focus);
    const int n = static_cast<int>(order.size());
    int i = it == order.end() ? 0 : static_cast<int>(it - order.begin());
    i = ((i + step) % n + n) % n;
    SetFocus(order[static_cast<std::size_t>(i)]);
}

// The dialog sees every key before its controls. Returns true when the key was the dialog's.
bool TMessageForm::PreviewKey(const MSG& msg) {
    if (msg.hwnd != hwnd_.get() && !IsChild(hwnd_.get(), msg.hwnd)) return false;
    const bool ctrl = KeyDown(VK_CONTROL), shift = KeyDown(VK_SHIFT), alt = KeyDown(VK_MENU);
    if (msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) {
        switch (msg.wParam) {
            case VK_RETURN: {
                // A focused button answers Enter itself; elsewhere Enter presses the default button.
                const HWND focus = GetFocus();
                for (const auto& [ordinal, h] : buttons_)
                    if (h == focus) {
                        PressButton(ordinal);
                        return true;
                    }
                PressButton(defaultButton_);
                return true;
            }
            case VK_ESCAPE:
                PressButton(cancelButton_);
                return true;
            case VK_TAB:
                if (ctrl || alt) return false;
                MoveFocus(shift ? -1 : 1);
                return true;
            case VK_LEFT:
            case VK_RIGHT:
                if (GetFocus() == Message->Handle()) return false;
                MoveFocus(msg.wParam == VK_LEFT ? -1 : 1);
                if (GetFocus() == Message->Handle()) MoveFocus(msg.wParam == VK_LEFT ? -1 : 1);
                return true;
            case 'C':
                if (ctrl && !shift && !alt) {
                    GuardEvent([this] { CopyToClipboard(); });
                    return true;
                }
                return false;
            default:
                return false;
        }
    }
    if (msg.message == WM_CHAR || msg.message == WM_SYSCHAR) {
        // Access keys: with Alt anywhere, alone when the memo (which would take the letter) is not focused.
        if (msg.message == WM_CHAR && (ctrl || GetFocus() == Message->Handle())) return false;
        wchar_t key = static_cast<wchar_t>(msg.wParam);
        if (key >= L'a' && key <= L'z') key = static_cast<wchar_t>(key - L'a' + L'A');
        for (const auto& [ordinal, h] : buttons_) {
            if (AccessKeyOf(ButtonInfo(ordinal).Caption) == key) {
                SetFocus(h);
                PressButton(ordinal);
                return true;
            }
        }
        return msg.message == WM_SYSCHAR;  // no menu to open: swallow a stray Alt+letter
    }
    return false;
}

int TMessageForm::ShowModal() {
    HWND hwnd = hwnd_.get();
    // Owned by the window active now, so that the dialog stays above it.
    HWND owner = GetActiveWindow();
    if (owner == hwnd) owner = nullptr;
    SetWindowLongPtrW(hwnd, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(owner));
    const bool disableOwner = owner && IsWindowEnabled(owner);
    if (disableOwner) EnableWindow(owner, FALSE);

    modalResult_ = 0;
    ShowWindow(hwnd, SW_SHOW);
    SetForegroundWindow(hwnd);
    for (const auto& [ordinal, h] : buttons_)
        if (ordinal == defaultButton_) SetFocus(h);

    bool quit = false;
    WPARAM quitCode = 0;
    MSG msg;
    while (modalResult_ == 0) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got <= 0) {
            quit = true;
            quitCode = got == 0 ? msg.wParam : 0;
            break;
        }
        // An error in a key's handling goes to the top-level display, and the key counts as handled.
        bool handled = true;
        GuardEvent([&] { handled = PreviewKey(msg); });
        if (handled) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    // Enable the owner before hiding the dialog so that activation returns to it.
    if (disableOwner) EnableWindow(owner, TRUE);
    ShowWindow(hwnd, SW_HIDE);
    if (owner) SetActiveWindow(owner);
    if (quit) {
        PostQuitMessage(static_cast<int>(quitCode));
        return 0;
    }
    return modalResult_;
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
    if (!f.ButtonPanel) ThrowLastError();
    SetWindowLongPtrW(f.ButtonPanel, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TMessageForm::PanelProc));

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
