#include "launcher/window/busy_panel.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "base/win32_error.h"
#include "update/report/fetch_progress.h"

namespace {

constexpr const wchar_t* kPanelClass = L"AureviaBusyPanel";
constexpr const wchar_t* kIndicatorClass = L"AureviaActivityIndicator";
constexpr UINT_PTR kFrameTimer = 1;
constexpr UINT_PTR kProgressTimer = 2;
constexpr const wchar_t* kLabelText = L"Aguarde Atualizando";
constexpr RECT kLabelDesign{43, 67, 43 + 271, 67 + 37};
// Under the label, across the panel but for a margin; the panel is 369 x 143 at 96 dpi.
constexpr RECT kLineDesign{8, 110, 369 - 8, 110 + 22};

int Scale(int AValue, int ADpi) { return MulDiv(AValue, ADpi, 96); }

RECT ScaleRect(const RECT& ARect, int ADpi) {
    return RECT{Scale(ARect.left, ADpi), Scale(ARect.top, ADpi), Scale(ARect.right, ADpi),
                Scale(ARect.bottom, ADpi)};
}

void RegisterOnce(const wchar_t* AClass, WNDPROC AProc, LPCWSTR ACursor) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = AProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, ACursor);
    wc.lpszClassName = AClass;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        ThrowLastError(TErrorCategory::Other);
}

template <typename T>
T* Owner(HWND AWnd) {
    return reinterpret_cast<T*>(GetWindowLongPtrW(AWnd, GWLP_USERDATA));
}

template <typename T>
void AttachOwner(HWND AWnd, UINT AMessage, LPARAM ALParam) {
    if (AMessage == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(ALParam);
        SetWindowLongPtrW(AWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
}

// Eases a dot along its lap: slow at the top of the circle, fast at the bottom.
double Momentum(double t) { return t - std::sin(2 * std::numbers::pi * t) / (2 * std::numbers::pi); }

}  // namespace

// --- activity indicator ------------------------------------------------------------------------

void TActivityIndicator::Create(HWND AParent, int ALeft, int ATop, int ADpi) {
    RegisterOnce(kIndicatorClass, &TActivityIndicator::WindowProc,
                 reinterpret_cast<LPCWSTR>(IDC_APPSTARTING));
    const int size = Scale(kDesignSize, ADpi);
    FHandle =
        (CreateWindowExW(0, kIndicatorClass, L"", WS_CHILD | WS_VISIBLE, Scale(ALeft, ADpi),
                         Scale(ATop, ADpi), size, size, AParent, nullptr, GetModuleHandleW(nullptr), this));
    if (!FHandle) ThrowLastError(TErrorCategory::Other);
}

void TActivityIndicator::Rescale(int ALeft, int ATop, int ADpi) {
    const int size = Scale(kDesignSize, ADpi);
    SetWindowPos(FHandle, nullptr, Scale(ALeft, ADpi), Scale(ATop, ADpi), size, size,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void TActivityIndicator::Start() {
    FFrame = 0;
    FAnimating = true;
    SetTimer(FHandle, kFrameTimer, kFrameMilliseconds, nullptr);
    InvalidateRect(FHandle, nullptr, FALSE);
}

void TActivityIndicator::Stop() {
    FAnimating = false;
    KillTimer(FHandle, kFrameTimer);
    InvalidateRect(FHandle, nullptr, FALSE);
}

void TActivityIndicator::Paint(HDC ADC, const RECT& AClient) const {
    const int size = AClient.right - AClient.left;
    unique_hdc memory(CreateCompatibleDC(ADC));
    unique_gdi bitmap(CreateCompatibleBitmap(ADC, size, AClient.bottom - AClient.top));
    const HGDIOBJ oldBitmap = SelectObject(memory.get(), bitmap.get());
    unique_gdi background(CreateSolidBrush(TBusyPanel::kColor));
    FillRect(memory.get(), &AClient, static_cast<HBRUSH>(background.get()));

    // Five dots start one after another, so that they bunch at the top and spread out as they
    // gather speed. A still indicator shows them at rest, bunched at the top.
    constexpr int kDots = 5;
    constexpr double kDelay = 0.07;
    const double center = size / 2.0;
    const double radius = size * 0.38;
    const double dot = std::max(2.0, size / 14.0);
    const HGDIOBJ oldPen = SelectObject(memory.get(), GetStockObject(NULL_PEN));
    const HGDIOBJ oldBrush = SelectObject(memory.get(), GetStockObject(WHITE_BRUSH));
    const double lap = static_cast<double>(FFrame) / kFrameCount;
    for (int i = 0; i < kDots; ++i) {
        double t = lap * (1 + kDots * kDelay) - i * kDelay;
        t = std::clamp(t, 0.0, 1.0);
        const double angle = 2 * std::numbers::pi * Momentum(t);
        const double x = center + radius * std::sin(angle);
        const double y = center - radius * std::cos(angle);
        Ellipse(memory.get(), static_cast<int>(x - dot), static_cast<int>(y - dot),
                static_cast<int>(x + dot + 1), static_cast<int>(y + dot + 1));
    }
    SelectObject(memory.get(), oldPen);
    SelectObject(memory.get(), oldBrush);
    BitBlt(ADC, 0, 0, size, AClient.bottom - AClient.top, memory.get(), 0, 0, SRCCOPY);
    SelectObject(memory.get(), oldBitmap);
}

LRESULT CALLBACK TActivityIndicator::WindowProc(HWND AWnd, UINT AMessage, WPARAM AWParam, LPARAM ALParam) {
    AttachOwner<TActivityIndicator>(AWnd, AMessage, ALParam);
    TActivityIndicator* self = Owner<TActivityIndicator>(AWnd);
    if (self) {
        switch (AMessage) {
            case WM_TIMER:
                if (AWParam == kFrameTimer) {
                    self->FFrame = (self->FFrame + 1) % kFrameCount;
                    InvalidateRect(AWnd, nullptr, FALSE);
                    return 0;
                }
                break;
            case WM_ERASEBKGND:
                return 1;
            case WM_PAINT: {
                PAINTSTRUCT ps;
                HDC dc = BeginPaint(AWnd, &ps);
                RECT client;
                GetClientRect(AWnd, &client);
                self->Paint(dc, client);
                EndPaint(AWnd, &ps);
                return 0;
            }
            case WM_NCDESTROY:
                KillTimer(AWnd, kFrameTimer);
                SetWindowLongPtrW(AWnd, GWLP_USERDATA, 0);
                break;
        }
    }
    return DefWindowProcW(AWnd, AMessage, AWParam, ALParam);
}

// --- busy panel ----------------------------------------------------------------------------------

void TBusyPanel::Create(HWND AParent, const RECT& ADesign, int ADpi) {
    RegisterOnce(kPanelClass, &TBusyPanel::WindowProc, reinterpret_cast<LPCWSTR>(IDC_APPSTARTING));
    FDesign = ADesign;
    FDpi = ADpi;
    MakeFont(ADpi);
    const RECT r = ScaleRect(ADesign, ADpi);
    FHandle = (CreateWindowExW(0, kPanelClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, r.left, r.top,
                               r.right - r.left, r.bottom - r.top, AParent, nullptr,
                               GetModuleHandleW(nullptr), this));
    if (!FHandle) ThrowLastError(TErrorCategory::Other);
    aciTemporizador.Create(FHandle, 159, 19, ADpi);
}

void TBusyPanel::MakeFont(int ADpi) {
    LOGFONTW font{};
    font.lfHeight = Scale(-27, ADpi);
    font.lfWeight = FW_BOLD;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfQuality = CLEARTYPE_QUALITY;
    wcscpy_s(font.lfFaceName, L"Segoe UI");
    FLabelFont.reset(CreateFontIndirectW(&font));
    font.lfHeight = Scale(-13, ADpi);
    font.lfWeight = FW_NORMAL;
    FLineFont.reset(CreateFontIndirectW(&font));
}

RECT TBusyPanel::ProgressRect() const { return ScaleRect(kLineDesign, FDpi); }

void TBusyPanel::ShowProgress(std::shared_ptr<const TFetchProgress> AProgress) {
    FProgress = std::move(AProgress);
    // Polled rather than told: the fetches never wait for the window, and a few repaints a second
    // are all a reader can follow.
    if (FProgress) {
        SetTimer(FHandle, kProgressTimer, kProgressMilliseconds, nullptr);
    } else {
        KillTimer(FHandle, kProgressTimer);
    }
    RefreshProgress();
}

void TBusyPanel::RefreshProgress() {
    std::wstring line = FProgress ? ProgressText(FProgress->Figures()) : std::wstring();
    if (line == FProgressLine) return;
    FProgressLine = std::move(line);
    const RECT r = ProgressRect();
    InvalidateRect(FHandle, &r, FALSE);
}

void TBusyPanel::Rescale(int ADpi) {
    FDpi = ADpi;
    MakeFont(ADpi);
    const RECT r = ScaleRect(FDesign, ADpi);
    SetWindowPos(FHandle, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    aciTemporizador.Rescale(159, 19, ADpi);
    InvalidateRect(FHandle, nullptr, TRUE);
}

void TBusyPanel::Show() { ShowWindow(FHandle, SW_SHOW); }
void TBusyPanel::Hide() { ShowWindow(FHandle, SW_HIDE); }
bool TBusyPanel::Visible() const { return IsWindowVisible(FHandle) != FALSE; }

void TBusyPanel::Paint(HDC ADC) const {
    RECT client;
    GetClientRect(FHandle, &client);
    unique_gdi background(CreateSolidBrush(kColor));
    FillRect(ADC, &client, static_cast<HBRUSH>(background.get()));
    RECT label = ScaleRect(kLabelDesign, FDpi);
    const HGDIOBJ oldFont = SelectObject(ADC, FLabelFont.get());
    SetBkMode(ADC, TRANSPARENT);
    SetTextColor(ADC, RGB(255, 255, 255));
    DrawTextW(ADC, kLabelText, -1, &label, DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX | DT_NOCLIP);
    if (!FProgressLine.empty()) {
        RECT line = ProgressRect();
        SelectObject(ADC, FLineFont.get());
        DrawTextW(ADC, FProgressLine.c_str(), -1, &line,
                  DT_CENTER | DT_TOP | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    }
    SelectObject(ADC, oldFont);
}

LRESULT CALLBACK TBusyPanel::WindowProc(HWND AWnd, UINT AMessage, WPARAM AWParam, LPARAM ALParam) {
    AttachOwner<TBusyPanel>(AWnd, AMessage, ALParam);
    TBusyPanel* self = Owner<TBusyPanel>(AWnd);
    if (self) {
        switch (AMessage) {
            case WM_TIMER:
                if (AWParam == kProgressTimer) {
                    self->RefreshProgress();
                    return 0;
                }
                break;
            case WM_ERASEBKGND:
                return 1;
            case WM_PAINT: {
                PAINTSTRUCT ps;
                HDC dc = BeginPaint(AWnd, &ps);
                self->Paint(dc);
                EndPaint(AWnd, &ps);
                return 0;
            }
            case WM_NCDESTROY:
                KillTimer(AWnd, kProgressTimer);
                SetWindowLongPtrW(AWnd, GWLP_USERDATA, 0);
                break;
        }
    }
    return DefWindowProcW(AWnd, AMessage, AWParam, ALParam);
}
