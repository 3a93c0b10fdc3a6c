// The dialog's keyboard: keys it takes before its controls, focus moves and the clipboard copy.
#include <algorithm>
#include <vector>

#include "base/error.h"
#include "base/error_display.h"
#include "base/string_convert.h"
#include "base/win32_error.h"
#include "dialogs/dialog_text.h"
#include "dialogs/message_form.h"

namespace {

std::wstring WindowText(HWND h) {
    std::wstring s(static_cast<std::size_t>(GetWindowTextLengthW(h)) + 1, L'\0');
    s.resize(static_cast<std::size_t>(GetWindowTextW(h, s.data(), static_cast<int>(s.size()))));
    return s;
}

void PutOnClipboard(const std::wstring& text) {
    if (!OpenClipboard(nullptr)) {
        const DWORD code = GetLastError();
        throw Win32Error(code, TErrorCategory::Other,
                         "Cannot open clipboard: " + WideToUtf8(SystemErrorText(code)));
    }
    struct Closer {
        ~Closer() { CloseClipboard(); }
    } closer;
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, bytes);
    if (!memory) ThrowLastError(TErrorCategory::Other);
    try {
        void* p = GlobalLock(memory);
        if (!p) ThrowLastError(TErrorCategory::Other);
        std::copy_n(text.c_str(), text.size() + 1, static_cast<wchar_t*>(p));
        GlobalUnlock(memory);
        if (!EmptyClipboard()) ThrowLastError(TErrorCategory::Other);
        if (!SetClipboardData(CF_UNICODETEXT, memory)) ThrowLastError(TErrorCategory::Other);
    } catch (...) {
        GlobalFree(memory);
        throw;
    }
}

bool KeyDown(int vk) { return (GetKeyState(vk) & 0x8000) != 0; }

}  // namespace

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
