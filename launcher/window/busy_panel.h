#pragma once
// The busy panel: a red child window with the "Aguarde Atualizando" label and an activity
// indicator of white momentum dots. Both live on the UI thread.
#include <windows.h>

#include <memory>
#include <string>

#include "base/handles.h"

class TFetchProgress;

// White dots that chase each other round a circle, each speeding up and slowing down. 48 pixels
// at 96 dpi, one frame every 30 ms; still (showing its first frame) until started.
class TActivityIndicator {
  public:
    static constexpr int kDesignSize = 48;
    static constexpr UINT kFrameMilliseconds = 30;
    static constexpr int kFrameCount = 60;

    void Create(HWND AParent, int ALeft, int ATop, int ADpi);
    void Rescale(int ALeft, int ATop, int ADpi);
    // Starts from the first frame.
    void Start();
    void Stop();
    bool Animating() const { return FAnimating; }
    int Frame() const { return FFrame; }
    HWND Handle() const { return FHandle; }

  private:
    static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);
    void Paint(HDC ADC, const RECT& AClient) const;

    HWND FHandle = nullptr;  // a child window: destroyed with its parent
    bool FAnimating = false;
    int FFrame = 0;
};

class TBusyPanel {
  public:
    static constexpr COLORREF kColor = RGB(208, 24, 15);

    // Builds the panel at its design rectangle (96 dpi) scaled to ADpi; visible from the start.
    void Create(HWND AParent, const RECT& ADesign, int ADpi);
    void Rescale(int ADpi);
    void Show();
    void Hide();
    bool Visible() const;
    HWND Handle() const { return FHandle; }
    RECT Design() const { return FDesign; }

    // The line under the label follows this update's counters, read a few times a second on the UI
    // thread; nullptr takes the line away.
    void ShowProgress(std::shared_ptr<const TFetchProgress> AProgress);
    // The progress line as painted now; empty when there is none.
    const std::wstring& ProgressLine() const { return FProgressLine; }
    // The line's rectangle in panel pixels, and its font, at the panel's dpi.
    RECT ProgressRect() const;
    HFONT ProgressFont() const { return static_cast<HFONT>(FLineFont.get()); }
    static constexpr UINT kProgressMilliseconds = 250;

    TActivityIndicator aciTemporizador;

  private:
    static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);
    void Paint(HDC ADC) const;
    void MakeFont(int ADpi);
    void RefreshProgress();

    HWND FHandle = nullptr;  // a child window: destroyed with its parent
    unique_gdi FLabelFont;
    unique_gdi FLineFont;
    std::shared_ptr<const TFetchProgress> FProgress;
    std::wstring FProgressLine;
    RECT FDesign{};
    int FDpi = 96;
};
