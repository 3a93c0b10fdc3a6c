#pragma once
// The pictures of the message dialog, drawn with GDI: the four type icons and the button glyphs.
#include <windows.h>

#include "dialogs/dialog_types.h"

// Draws the type's 32 × 32 icon at (x, y) over a background of colour back. mtCustom draws nothing.
void DrawDialogIcon(HDC dc, int x, int y, TMsgDlgType type, COLORREF back);

// Draws a button glyph of size × size pixels at (x, y) over a background of colour back.
void DrawButtonGlyph(HDC dc, int x, int y, int size, TButtonGlyph glyph, COLORREF back);
