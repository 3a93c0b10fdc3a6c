#pragma once
// The one UTF-8 codec: decoding one sequence at a time (what is invalid is said, not guessed) and
// encoding a code point. Portable.
#include <cstddef>
#include <string>
#include <string_view>

// The code point that starts `text` and the number of bytes it takes; length 0 when no valid
// sequence starts there (a stray or missing continuation byte, an overlong form, a surrogate, a code
// point past U+10FFFF, or an empty text).
struct Utf8Sequence {
    char32_t point = 0;
    size_t length = 0;
};
Utf8Sequence DecodeUtf8(std::string_view text);

// Appends the UTF-8 form of a code point; surrogates and code points past U+10FFFF are written as
// U+FFFD, so that the output is always valid.
void AppendUtf8(std::string& out, char32_t point);

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// C0, DEL and C1: characters that could forge a line of a log or a row of a CSV file.
constexpr bool IsControlCharacter(char32_t point) { return point < 0x20 || (point >= 0x7F && point <= 0x9F); }
