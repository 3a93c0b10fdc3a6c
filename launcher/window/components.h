#pragma once
// The window's lightweight components. Picture components own no window: the form paints them and
// routes the mouse to them, so a later one in the layout lies above an earlier one.
#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

#include "launcher/support/shell_file_operation.h"
#include "base/handles.h"

class TFrmMenu;
struct TImage;

using TNotifyEvent = void (TFrmMenu::*)(TImage* Sender);

// A decoded picture, kept as a 32-bit DIB section.
struct TPicture {
    unique_gdi Bitmap;
    int Width = 0;
    int Height = 0;
    explicit operator bool() const { return static_cast<bool>(Bitmap); }
};

enum class TPictureMode { None, Stretch, CenterCut };

struct TImage {
    const wchar_t* Name = L"";
    RECT Design{};                         // left, top, right, bottom in client pixels at 96 dpi
    const wchar_t* PictureName = nullptr;  // RCDATA resource holding JPEG data; none for a hot area
    TPictureMode Mode = TPictureMode::None;
    bool HandCursor = false;
    bool Popup = true;  // shows the popup menu on a right-click
    TNotifyEvent OnClick = nullptr;
    std::wstring Hint;
    TPicture Picture;
};

// The shell file-copy component used to fetch the support tools lives in its own header.
