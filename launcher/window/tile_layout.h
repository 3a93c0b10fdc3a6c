#pragma once
// Where the menu window's tiles lie: their design rectangles (at 96 dpi) scaled to the window's
// dpi, and which tile lies topmost at a point. Everything here runs on the UI thread.
#include <windows.h>

#include <array>

#include "launcher/catalogue/tiles.h"
#include "launcher/window/components.h"

class TTileLayout {
  public:
    using Tiles = std::array<TImage*, kTileCount>;  // bottom first

    explicit TTileLayout(Tiles ATiles) : FTiles(ATiles) {}

    static int Scale(int AValue, int ADpi) { return MulDiv(AValue, ADpi, 96); }
    // A tile's rectangle in client pixels at the current dpi.
    RECT ScaledRect(const TImage& AImage) const;
    // The tile lying topmost at a client point (nullptr over bare form).
    TImage* ComponentAt(POINT AClientPoint) const;
    const Tiles& BottomUp() const { return FTiles; }

    // The window's dpi, kept under the menu window's name (which forwards here).
    int Dpi = 96;

  private:
    Tiles FTiles;
};
