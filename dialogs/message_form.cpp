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
constexpr int kBorderWidth = 2;
constexpr COLORREF kFrameColor = RGB(150, 150, 150);
constexpr int kGlyphSize = 16;
// SC_MOVE combined with the caption hit code: the system drags the window with the mouse.
constexpr WPARAM kScDragMove = 0xF012;

TDialogHelpHandler& HelpHandler() {
    static TDialogHelpHandler handler;
    return handler;
}

// Each class carries its real procedure, so the object sees the window's first messages (its
// frame is computed at creation).
void RegisterClasses(WNDPROC formProc, WNDPROC panelProc) {
    static const bool registered = [&] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        // The dialog casts a shadow.
        wc.style = CS_DROPSHADOW;
        wc.lpfnWndProc = formProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.lpszClassName = kFormClass;
        if (!RegisterClassExW(&wc)) ThrowLastError(TErrorCategory::Other);
        wc.style = 0;
        wc.lpfnWndProc = panelProc;
        wc.lpszClassName = kPanelClass;
        if (!RegisterClassExW(&wc)) ThrowLastError(TErrorCategory::Other);
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
    if (!font) ThrowLastError(TErrorCategory::Other);
    return font;
}

int ClientHeightOf(HWND h) {
    RECT r;
    GetClientRect(h, &r);
    return r.bottom;
}

}  // namespace

void SetDialogHelpHandler(TDialogHelpHandler AHandler) { HelpHandler() = std::move(AHandler); }

TMessageForm::TMessageForm(HWND AOwner) {
    RegisterClasses(&TMessageForm::WndProc, &TMessageForm::PanelProc);
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
    // WM_NCCREATE attaches the object to the window (see WndProc).
    HWND hwnd = CreateWindowExW(WS_EX_LAYERED | (rightToLeft_ ? WS_EX_RTLREADING : 0), kFormClass, L"",
                                WS_POPUP, 0, 0, 320, 200, AOwner, nullptr, GetModuleHandleW(nullptr), this);
    if (!hwnd) ThrowLastError(TErrorCategory::Other);
    hwnd_.reset(hwnd);
    SetLayeredWindowAttributes(hwnd_.get(), 0, kDialogAlpha, LWA_ALPHA);
    SendMessageW(hwnd_.get(), WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
}

TMessageForm::~TMessageForm() {
    if (hwnd_) SetWindowLongPtrW(hwnd_.get(), GWLP_USERDATA, 0);
    hwnd_.reset();
}

LRESULT CALLBACK TMessageForm::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lp);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<TMessageForm*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
    if (msg == WM_NCDESTROY) SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    return self->OnMessage(hwnd, msg, wp, lp);
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

LRESULT TMessageForm::OnMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
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
