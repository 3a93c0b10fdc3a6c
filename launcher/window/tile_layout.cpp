#include "launcher/window/tile_layout.h"

RECT TTileLayout::ScaledRect(const TImage& AImage) const {
    return RECT{Scale(AImage.Design.left, Dpi), Scale(AImage.Design.top, Dpi),
                Scale(AImage.Design.right, Dpi), Scale(AImage.Design.bottom, Dpi)};
}

TImage* TTileLayout::ComponentAt(POINT AClientPoint) const {
    for (auto it = FTiles.rbegin(); it != FTiles.rend(); ++it) {
        const RECT r = ScaledRect(**it);
        if (PtInRect(&r, AClientPoint)) return *it;
    }
    return nullptr;
}
