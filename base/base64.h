#pragma once
// Base64 with the standard alphabet and "=" padding (RFC 4648, section 4). Portable.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

std::string Base64Encode(const uint8_t* data, size_t size);

// The bytes of a canonical base64 text: length a multiple of 4, padding only at the end, and the
// unused bits of the last group zero, so that each byte string has exactly one text. Anything else,
// whitespace included, is nullopt.
std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text);
