#include "dialogs/dialog_layout.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

int MulDivRound(int a, int b, int c) {
    if (c == 0) return -1;
    const std::int64_t p = static_cast<std::int64_t>(a) * b;
    const std::int64_t half = std::llabs(static_cast<std::int64_t>(c)) / 2;
    const bool negative = (p < 0) != (c < 0);
    const std::int64_t q = (std::llabs(p) + half) / std::llabs(static_cast<std::int64_t>(c));
    const std::int64_t r = negative ? -q : q;
    if (r > INT32_MAX || r < INT32_MIN) return -1;
    return static_cast<int>(r);
}

DialogLayout LayoutDialog(const DialogMeasures& m) {
    DialogLayout l;
    l.hMargin = MulDivRound(8, m.cx, 4);
    l.vMargin = MulDivRound(8, m.cy, 8);
    l.vSpacing = MulDivRound(10, m.cy, 8);
    l.buttonWidth = std::max(MulDivRound(50, m.cx, 4), m.widestButton);
    l.buttonHeight = MulDivRound(14, m.cy, 8);
    l.buttonSpacing = MulDivRound(4, m.cx, 4);

    l.iconWidth = m.hasIcon ? 32 : 0;
    int textBlock = 2 * l.hMargin + m.textWidth;
    if (m.hasIcon) textBlock += 32 + l.vSpacing;

    const int halfScreen = m.screenHeight / 2;
    const int textShown = m.textHeight < halfScreen ? m.textHeight : halfScreen;
    l.contentHeight = textShown + 32 + l.vMargin < halfScreen ? textShown + 32 + l.vMargin : halfScreen;

    const int n = m.buttonCount;
    l.groupWidth = n > 0 ? n * l.buttonWidth + (n - 1) * l.buttonSpacing : 0;

    if (m.hasIcon) l.icon = {l.hMargin, l.vMargin / 2, 32, 32};
    // The title sits half its 12-point font size above the vertical margin.
    l.titleTop = l.vMargin - 6;

    l.textBlockWidth = std::max(m.frameWidth + textBlock + 2, 350);
    const int memoRight = std::max(m.frameWidth + m.textWidth + 2, l.textBlockWidth);
    const int wanted = m.frameHeight + m.textHeight + 2;
    const int room = l.contentHeight - 2 * l.vMargin;
    const int memoHeight = wanted < room ? wanted : room;
    l.memoScrolls = wanted > memoHeight;
    l.memo = {l.iconWidth + l.hMargin, l.vMargin + 32, memoRight - l.iconWidth - l.hMargin, memoHeight};

    l.clientWidth = l.hMargin / 2 + std::max(l.textBlockWidth, l.groupWidth);
    l.clientHeight = l.contentHeight + l.buttonHeight + l.vSpacing + 2 * l.vMargin;
    l.left = m.screenWidth / 2 - (l.clientWidth + m.frameWidth) / 2;
    l.top = m.screenHeight / 2 - (l.clientHeight + m.frameHeight) / 2;

    l.stripHeight = l.clientHeight - l.contentHeight - l.vMargin;
    l.firstButtonX = (l.clientWidth - l.groupWidth) / 2;
    l.buttonTop = l.vSpacing;
    return l;
}

namespace {
constexpr int kHlsMax = 240;
constexpr int kRgbMax = 255;

double HueToRgb(double n1, double n2, double hue) {
    if (hue < 0) hue += kHlsMax;
    if (hue > kHlsMax) hue -= kHlsMax;
    if (hue < kHlsMax / 6.0) return n1 + (n2 - n1) * hue / (kHlsMax / 6.0);
    if (hue < kHlsMax / 2.0) return n2;
    if (hue < kHlsMax * 2.0 / 3.0) return n1 + (n2 - n1) * (kHlsMax * 2.0 / 3.0 - hue) / (kHlsMax / 6.0);
    return n1;
}

// Rounds to the nearest integer, a half going to the even neighbour.
int RoundHalfEven(double v) { return static_cast<int>(std::nearbyint(v)); }

int Clamp255(double v) { return std::clamp(RoundHalfEven(v), 0, kRgbMax); }
}  // namespace

std::uint32_t ColorWithLuminance(std::uint32_t rgb, int luminance) {
    const int r = static_cast<int>(rgb & 0xFF);
    const int g = static_cast<int>((rgb >> 8) & 0xFF);
    const int b = static_cast<int>((rgb >> 16) & 0xFF);
    const int cmax = std::max({r, g, b});
    const int cmin = std::min({r, g, b});
    const int l0 = ((cmax + cmin) * kHlsMax + kRgbMax) / (2 * kRgbMax);

    double hue = 0;
    double sat = 0;
    if (cmax != cmin) {
        const int sum = cmax + cmin;
        const int diff = cmax - cmin;
        sat = l0 <= kHlsMax / 2 ? (diff * kHlsMax + sum / 2) / sum
                                : (diff * kHlsMax + (2 * kRgbMax - sum) / 2) / (2 * kRgbMax - sum);
        const double rd = ((cmax - r) * (kHlsMax / 6.0) + diff / 2.0) / diff;
        const double gd = ((cmax - g) * (kHlsMax / 6.0) + diff / 2.0) / diff;
        const double bd = ((cmax - b) * (kHlsMax / 6.0) + diff / 2.0) / diff;
        if (r == cmax)
            hue = bd - gd;
        else if (g == cmax)
            hue = kHlsMax / 3.0 + rd - bd;
        else
            hue = kHlsMax * 2.0 / 3.0 + gd - rd;
        if (hue < 0) hue += kHlsMax;
        if (hue > kHlsMax) hue -= kHlsMax;
    }

    const double lum = std::clamp(luminance, 0, kHlsMax);
    int nr, ng, nb;
    if (sat == 0) {
        nr = ng = nb = Clamp255(lum * kRgbMax / kHlsMax);
    } else {
        const double m2 =
            lum <= kHlsMax / 2.0 ? lum * (kHlsMax + sat) / kHlsMax : lum + sat - lum * sat / kHlsMax;
        const double m1 = 2 * lum - m2;
        nr = Clamp255(HueToRgb(m1, m2, hue + kHlsMax / 3.0) * kRgbMax / kHlsMax);
        ng = Clamp255(HueToRgb(m1, m2, hue) * kRgbMax / kHlsMax);
        nb = Clamp255(HueToRgb(m1, m2, hue - kHlsMax / 3.0) * kRgbMax / kHlsMax);
    }
    return static_cast<std::uint32_t>(nr) | (static_cast<std::uint32_t>(ng) << 8) |
           (static_cast<std::uint32_t>(nb) << 16);
}
