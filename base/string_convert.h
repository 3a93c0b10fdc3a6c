#pragma once
// The one place where UTF-8 and the platform's wide strings meet. Invalid sequences become U+FFFD.
#include <string>
#include <string_view>

std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);
