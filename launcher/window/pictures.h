#pragma once
// Pictures stored as JPEG data in the executable's RCDATA resources, decoded with the Windows
// Imaging Component into 32-bit DIB sections.
#include <windows.h>

#include "launcher/window/components.h"

// An empty picture when the resource is missing or cannot be decoded: a window without its
// pictures still works.
TPicture LoadPictureResource(HINSTANCE AInstance, const wchar_t* AResourceName);
