#pragma once
// The name of a kernel object (a mutex) that stands for one file, whatever letter case its path is
// written in: kernel object names cannot hold backslashes, so the path is hashed. Windows only.
#include <string>
#include <string_view>

// "Local\<APrefix><16 hex digits>".
std::wstring PathLockName(std::wstring_view APrefix, const std::wstring& APath);
