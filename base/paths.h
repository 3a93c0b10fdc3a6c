#pragma once
// Path helpers shared by the launcher and the updater. Portable: Windows path rules, any host.
#include <string>
#include <string_view>

// Appends "\" unless the text already ends with one; an empty text becomes "\".
std::wstring FolderWithDelimiter(std::wstring_view folder);

// Joins a folder and a name: an empty part yields the other, a rooted second part replaces the
// first, otherwise one "\" goes between them unless the first already ends with a separator.
// Raises Error("Invalid characters in path") for characters no Windows path may hold.
std::wstring PathJoin(std::wstring_view folder, std::wstring_view name);

// Whether the path holds a character that no Windows path may hold (controls, " < > |).
bool HasInvalidPathChars(std::wstring_view path);

// Rooted: starts with a separator or with a drive letter and colon.
bool IsRootedPath(std::wstring_view path);

// The folder part of a file path, ending in "\" (empty when the path has no separator).
std::wstring FolderOf(std::wstring_view path);
