#pragma once
// The names of the fetches' temporary files, "~aur<pid>-<n>.tmp": made beside each target by
// TemporaryNameBeside (update/file_operations.h) and read back here to tell whose a leftover is.
// Portable.
#include <cstdint>
#include <optional>
#include <string_view>

// The process id a temporary file's name carries; empty for any other name (letter case of the
// fixed parts ignored, as the file system ignores it).
std::optional<uint32_t> TemporaryOwner(std::wstring_view AFileName);
