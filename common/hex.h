#pragma once
// Hexadecimal digits: hashes and kernel-object names in lower case, percent-encoding in upper case.
// Portable.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum class HexCase { Lower, Upper };

// The value of one hex digit (either case), or -1.
int HexDigitValue(char c);

// Two digits per byte.
void AppendHex(std::string& out, uint8_t byte, HexCase letters = HexCase::Lower);
std::string HexText(const uint8_t* bytes, size_t size, HexCase letters = HexCase::Lower);

// Exactly 2 * size digits (either case) into `out`; false, with `out` unspecified, for anything else.
bool HexBytes(std::string_view hex, uint8_t* out, size_t size);
