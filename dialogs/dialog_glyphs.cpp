#include "dialogs/dialog_glyphs.h"

#include <cmath>

#include "base/handles.h"

namespace {
// GDI draws polygons and thick lines without anti-aliasing: the pictures are drawn this many times
// larger and shrunk with averaging so that their edges stay smooth at 16 and 32 pixels.
constexpr int kScale = 4;

class ScaledCanvas {
  public:
    ScaledCanvas(HDC target, int size, COLORREF back) : target_(target), size_(size * kScale) {
        dc_.reset(CreateCompatibleDC(target));
        bitmap_.reset(CreateCompatibleBitmap(target, size_, size_));
        old_ = SelectObject(dc_.get(), bitmap_.get());
        RECT r{0, 0, size_, size_};
        unique_gdi brush(CreateSolidBrush(back));
        FillRect(dc_.get(), &r, static_cast<HBRUSH>(brush.get()));
        SetBkMode(dc_.get(), TRANSPARENT);
    }
    ~ScaledCanvas() { SelectObject(dc_.get(), old_); }
    ScaledCanvas(const ScaledCanvas&) = delete;
    ScaledCanvas& operator=(const ScaledCanvas&) = delete;

    HDC dc() const { return dc_.get(); }
    int size() const { return size_; }

    void BlitTo(int x, int y) const {
        const int old = SetStretchBltMode(target_, HALFTONE);
        SetBrushOrgEx(target_, 0, 0, nullptr);
        StretchBlt(target_, x, y, size_ / kScale, size_ / kScale, dc_.get(), 0, 0, size_, size_, SRCCOPY);
        SetStretchBltMode(target_, old);
    }

    // A filled circle of the canvas' full size inset by inset canvas pixels.
    void Disc(COLORREF fill, COLORREF edge, int inset) const {
        unique_gdi brush(CreateSolidBrush(fill));
        unique_gdi pen(CreatePen(PS_SOLID, kScale, edge));
        Select sb(dc(), brush.get()), sp(dc(), pen.get());
        Ellipse(dc(), inset, inset, size_ - inset, size_ - inset);
    }

    // A thick round-capped polyline in points given on a 0..100 grid.
    void Stroke(COLORREF colour, int widthPercent, std::initializer_list<POINT> points) const {
        LOGBRUSH lb{BS_SOLID, colour, 0};
        unique_gdi pen(ExtCreatePen(PS_GEOMETRIC | PS_SOLID | PS_ENDCAP_ROUND | PS_JOIN_ROUND,
                                    static_cast<DWORD>(size_ * widthPercent / 100), &lb, 0, nullptr));
        Select sp(dc(), pen.get());
        bool first = true;
        for (POINT p : points) {
            const int px = size_ * p.x / 100, py = size_ * p.y / 100;
            if (first)
                MoveToEx(dc(), px, py, nullptr);
            else
                LineTo(dc(), px, py);
            first = false;
        }
    }

    void Letter(const wchar_t* text, COLORREF colour, int heightPercent, int weight) const {
        unique_gdi font(CreateFontW(-size_ * heightPercent / 100, 0, 0, 0, weight, FALSE, FALSE, FALSE,
                                    DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                    ANTIALIASED_QUALITY, DEFAULT_PITCH, L"Segoe UI"));
        Select sf(dc(), font.get());
        SetTextColor(dc(), colour);
        RECT r{0, 0, size_, size_};
        DrawTextW(dc(), text, -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    }

  private:
    struct Select {
        Select(HDC dc, HGDIOBJ obj) : dc_(dc), old_(SelectObject(dc, obj)) {}
        ~Select() { SelectObject(dc_, old_); }
        Select(const Select&) = delete;
        Select& operator=(const Select&) = delete;
        HDC dc_;
        HGDIOBJ old_;
    };

    HDC target_;
    int size_;
    unique_hdc dc_;
    unique_gdi bitmap_;
    HGDIOBJ old_ = nullptr;
};

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlue = RGB(0, 103, 192);
constexpr COLORREF kRed = RGB(200, 36, 36);
constexpr COLORREF kGreen = RGB(24, 140, 60);
constexpr COLORREF kAmber = RGB(245, 190, 20);
constexpr COLORREF kGrey = RGB(110, 110, 110);
}  // namespace

void DrawDialogIcon(HDC dc, int x, int y, TMsgDlgType type, COLORREF back) {
    if (!DialogTypeHasIcon(type)) return;
    ScaledCanvas c(dc, 32, back);
    const int s = c.size();
    switch (type) {
        case TMsgDlgType::mtWarning: {
            LOGBRUSH lb{BS_SOLID, RGB(200, 140, 0), 0};
            unique_gdi pen(
                ExtCreatePen(PS_GEOMETRIC | PS_SOLID | PS_JOIN_ROUND, kScale * 2, &lb, 0, nullptr));
            unique_gdi brush(CreateSolidBrush(kAmber));
            HGDIOBJ op = SelectObject(c.dc(), pen.get());
            HGDIOBJ ob = SelectObject(c.dc(), brush.get());
            const POINT tri[3] = {
                {s / 2, s * 6 / 100}, {s * 96 / 100, s * 90 / 100}, {s * 4 / 100, s * 90 / 100}};
            Polygon(c.dc(), tri, 3);
            SelectObject(c.dc(), op);
            SelectObject(c.dc(), ob);
            c.Stroke(RGB(30, 30, 30), 11, {{50, 36}, {50, 62}});
            c.Stroke(RGB(30, 30, 30), 12, {{50, 78}, {50, 78}});
            break;
        }
        case TMsgDlgType::mtError:
            c.Disc(kRed, RGB(150, 20, 20), kScale);
            c.Stroke(kWhite, 11, {{33, 33}, {67, 67}});
            c.Stroke(kWhite, 11, {{67, 33}, {33, 67}});
            break;
        case TMsgDlgType::mtInformation:
            c.Disc(kBlue, RGB(0, 70, 140), kScale);
            c.Stroke(kWhite, 12, {{50, 27}, {50, 27}});
            c.Stroke(kWhite, 11, {{50, 45}, {50, 74}});
            break;
        case TMsgDlgType::mtConfirmation:
            c.Disc(kBlue, RGB(0, 70, 140), kScale);
            c.Letter(L"?", kWhite, 70, FW_BOLD);
            break;
        case TMsgDlgType::mtCustom:
            break;
    }
    c.BlitTo(x, y);
}

void DrawButtonGlyph(HDC dc, int x, int y, int size, TButtonGlyph glyph, COLORREF back) {
    if (glyph == TButtonGlyph::None) return;
    ScaledCanvas c(dc, size, back);
    switch (glyph) {
        case TButtonGlyph::Yes:
            c.Disc(kGreen, kGreen, kScale);
            c.Stroke(kWhite, 12, {{28, 52}, {44, 68}, {72, 34}});
            break;
        case TButtonGlyph::OK:
            c.Stroke(kGreen, 16, {{14, 52}, {40, 78}, {86, 24}});
            break;
        case TButtonGlyph::Abort:
            c.Disc(kRed, kRed, kScale);
            c.Stroke(kWhite, 12, {{34, 34}, {66, 66}});
            c.Stroke(kWhite, 12, {{66, 34}, {34, 66}});
            break;
        case TButtonGlyph::Cancel:
            c.Stroke(kRed, 16, {{18, 18}, {82, 82}});
            c.Stroke(kRed, 16, {{82, 18}, {18, 82}});
            break;
        case TButtonGlyph::Retry: {
            const int s = c.size();
            LOGBRUSH lb{BS_SOLID, kBlue, 0};
            unique_gdi pen(ExtCreatePen(PS_GEOMETRIC | PS_SOLID | PS_ENDCAP_ROUND,
                                        static_cast<DWORD>(s * 14 / 100), &lb, 0, nullptr));
            HGDIOBJ op = SelectObject(c.dc(), pen.get());
            const int in = s * 18 / 100;
            // Counter-clockwise from the top round to the upper right: a circle with a gap the arrow points
            // into.
            Arc(c.dc(), in, in, s - in, s - in, s / 2, in, s - in, s * 40 / 100);
            SelectObject(c.dc(), op);
            c.Stroke(kBlue, 14, {{50, 4}, {66, 18}, {50, 32}});
            break;
        }
        case TButtonGlyph::Ignore:
            c.Stroke(kGrey, 14, {{14, 50}, {60, 50}});
            c.Stroke(kGrey, 14, {{46, 30}, {66, 50}, {46, 70}});
            c.Stroke(kGrey, 14, {{86, 22}, {86, 78}});
            break;
        case TButtonGlyph::All:
            c.Stroke(kGreen, 12, {{6, 52}, {26, 72}, {56, 30}});
            c.Stroke(kGreen, 12, {{40, 60}, {52, 72}, {92, 22}});
            break;
        case TButtonGlyph::Help:
            c.Disc(kBlue, kBlue, kScale);
            c.Letter(L"?", kWhite, 80, FW_BOLD);
            break;
        case TButtonGlyph::None:
            break;
    }
    c.BlitTo(x, y);
}
