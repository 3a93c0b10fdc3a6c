#pragma once
// The message dialog's layout as arithmetic over measured values, so that it runs without a screen.
// The Windows side measures (fonts, text, screen, frame) and places the controls from the result.
#include <cstdint>

// MulDiv of Windows: a × b / c to the nearest integer, halves away from zero; -1 when c is 0 (as the Windows
// call).
int MulDivRound(int a, int b, int c);

struct DialogMeasures {
    int cx = 0;         // average character width: the 52-letter extent div 52
    int cy = 0;         // character height: the 52-letter extent's height
    int textWidth = 0;  // message measured with wrapping at half the screen width
    int textHeight = 0;
    int screenWidth = 0;
    int screenHeight = 0;
    int frameWidth = 0;   // outer width less client width
    int frameHeight = 0;  // outer height less client height
    bool hasIcon = false;
    int buttonCount = 0;
    int widestButton = 0;  // the largest cached button width (caption + 8) of the set
};

struct DialogRect {
    int left = 0, top = 0, width = 0, height = 0;
    friend bool operator==(const DialogRect&, const DialogRect&) = default;
};

struct DialogLayout {
    int hMargin = 0;         // Hm
    int vMargin = 0;         // Vm
    int vSpacing = 0;        // Vs
    int buttonWidth = 0;     // Bw
    int buttonHeight = 0;    // Bh
    int buttonSpacing = 0;   // Bs
    int iconWidth = 0;       // Iw
    int contentHeight = 0;   // C
    int groupWidth = 0;      // G
    int textBlockWidth = 0;  // T2
    DialogRect icon;
    int titleTop = 0;
    DialogRect memo;
    bool memoScrolls = false;
    int clientWidth = 0;
    int clientHeight = 0;
    int left = 0;  // centred window position
    int top = 0;
    int stripHeight = 0;
    int firstButtonX = 0;  // in the strip; button i (of the set, in order) is at firstButtonX + i × (Bw + Bs)
    int buttonTop = 0;     // in the strip
};

DialogLayout LayoutDialog(const DialogMeasures& m);

// The colour with its luminance (0..240 scale) replaced, through hue/luminance/saturation.
// Colours are 0x00BBGGRR as Windows COLORREF values.
std::uint32_t ColorWithLuminance(std::uint32_t rgb, int luminance);
