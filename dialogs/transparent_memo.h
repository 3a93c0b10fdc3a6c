#pragma once
// A multi-line, word-wrapping edit control that lets its parent's background show through.
#include <windows.h>

#include "base/handles.h"

// The memo's own repaint request.
inline constexpr UINT WM_MEMO_REPAINT = WM_USER + 1111;
// A parent reflects the edit's colour request to the memo as this message (control notification
// base 0xBC00 + the original message).
inline constexpr UINT CN_CTLCOLOREDIT = 0xBC00 + WM_CTLCOLOREDIT;
inline constexpr UINT CN_CTLCOLORSTATIC = 0xBC00 + WM_CTLCOLORSTATIC;

class TTransparentMemo {
  public:
    // Creates the edit control as a child of AOwner. style adds to the multi-line, read-only,
    // word-wrapping base (for example WS_VSCROLL).
    TTransparentMemo(HWND AOwner, int id, DWORD style);
    ~TTransparentMemo() = default;
    TTransparentMemo(const TTransparentMemo&) = delete;
    TTransparentMemo& operator=(const TTransparentMemo&) = delete;

    HWND Handle() const { return hwnd_.get(); }

  private:
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Default(UINT msg, WPARAM wp, LPARAM lp);
    void SendRepaint();
    void PostRepaint();
    void Repaint();

    WNDPROC editProc_ = nullptr;
    unique_hwnd hwnd_;
};
