#pragma once
// Reading a response's Content-Type: the charset its body text is written in, and whether its
// media type is binary. Portable.
#include <string>
#include <string_view>

// The value of the charset parameter, lower-cased and without quotes; empty when there is none.
std::string CharsetOf(std::string_view contentType);

// Whether the media type begins with "image", "video" or "audio" (letter case ignored).
bool IsBinaryMediaType(std::string_view contentType);

// The Windows code page for a charset name (lower-case), or 0 when the name is unknown.
// UTF-16 names map to 1200 (little-endian) and 1201 (big-endian).
unsigned CodePageOfCharset(std::string_view charset);
