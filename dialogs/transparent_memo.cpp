#include "dialogs/transparent_memo.h"

#include "base/win32_error.h"

TTransparentMemo::TTransparentMemo(HWND AOwner, int id, DWORD style) {
    // Transparent: the parent paints first, so the dialog's background shows behind the text.
    hwnd_.reset(CreateWindowExW(
        WS_EX_TRANSPARENT, L"EDIT", L"",
        WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | style, 0, 0, 0, 0,
        AOwner, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr));
    if (!hwnd_) ThrowLastError(TErrorCategory::Other);
    SetWindowLongPtrW(hwnd_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    editProc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hwnd_.get(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TTransparentMemo::WndProc)));
    // Long messages must not be cut at the edit control's default limit.
    SendMessageW(hwnd_.get(), EM_SETLIMITTEXT, 0, 0);
}

LRESULT TTransparentMemo::Default(UINT msg, WPARAM wp, LPARAM lp) {
    return CallWindowProcW(editProc_, hwnd_.get(), msg, wp, lp);
}

void TTransparentMemo::SendRepaint() { SendMessageW(hwnd_.get(), WM_MEMO_REPAINT, 0, 0); }
void TTransparentMemo::PostRepaint() { PostMessageW(hwnd_.get(), WM_MEMO_REPAINT, 0, 0); }

// Scrolling copies the old pixels of a control without a background: the parent must repaint the
// area behind the memo before the memo draws its text again.
void TTransparentMemo::Repaint() {
    HWND parent = GetParent(hwnd_.get());
    if (!parent) return;
    RECT r;
    GetClientRect(hwnd_.get(), &r);
    MapWindowPoints(hwnd_.get(), parent, reinterpret_cast<POINT*>(&r), 2);
    InvalidateRect(parent, &r, TRUE);
    RedrawWindow(hwnd_.get(), nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE);
}

LRESULT CALLBACK TTransparentMemo::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<TTransparentMemo*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self || self->hwnd_.get() != hwnd) return DefWindowProcW(hwnd, msg, wp, lp);
    switch (msg) {
        case WM_MEMO_REPAINT:
            self->Repaint();
            return 0;
        case WM_HSCROLL: {
            const LRESULT r = self->Default(msg, wp, lp);
            self->PostRepaint();
            return r;
        }
        case WM_VSCROLL:
        case WM_KEYDOWN:
        case WM_MOUSEWHEEL: {
            // The wheel scrolls without a WM_VSCROLL message, so it needs the same repaint.
            self->SendRepaint();
            const LRESULT r = self->Default(msg, wp, lp);
            self->PostRepaint();
            return r;
        }
        case WM_SETTEXT: {
            const LRESULT r = self->Default(msg, wp, lp);
            self->PostRepaint();
            return r;
        }
        case CN_CTLCOLOREDIT:
        case CN_CTLCOLORSTATIC: {
            // A read-only edit asks with WM_CTLCOLORSTATIC; both get the same transparent answer.
            HDC dc = reinterpret_cast<HDC>(wp);
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, RGB(0, 0, 0));
            return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
        }
        case WM_ERASEBKGND:
            return 1;
        case WM_LBUTTONUP:
            self->PostRepaint();
            return self->Default(msg, wp, lp);
        case WM_NCDESTROY: {
            const LRESULT r = self->Default(msg, wp, lp);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            // The window is gone; the owner must not destroy it a second time.
            self->hwnd_.release();
            return r;
        }
        default:
            return self->Default(msg, wp, lp);
    }
}
