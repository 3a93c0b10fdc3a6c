#pragma once
// Keys that match relative file names the way the file system does: upper-cased with the platform's
// linguistic mapping under the user's locale.
#include <string>
#include <string_view>

std::wstring FileKey(std::wstring_view fileName);
