#pragma once
// The shared runtime files that every module needs beside it, relative to the launcher's folder.
#include <array>
#include <string_view>

// In the order they are listed locally. "qtintf70.dll" and "dbxfb.dll" stand twice in the table the
// suite has always shipped; the updater fetches each target once.
extern const std::array<std::wstring_view, 49> kSharedFiles;
