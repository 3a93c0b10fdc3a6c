#include "base/base64.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int SextetOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string Base64Encode(const uint8_t* data, size_t size) {
    std::string text;
    text.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        const size_t left = size - i;
        const uint32_t group = uint32_t{data[i]} << 16 | (left > 1 ? uint32_t{data[i + 1]} << 8 : 0) |
                               (left > 2 ? uint32_t{data[i + 2]} : 0);
        text.push_back(kAlphabet[group >> 18 & 63]);
        text.push_back(kAlphabet[group >> 12 & 63]);
        text.push_back(left > 1 ? kAlphabet[group >> 6 & 63] : '=');
        text.push_back(left > 2 ? kAlphabet[group & 63] : '=');
    }
    return text;
}

std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        // "xx==" carries one byte, "xxx=" two; padding anywhere else is not base64.
        const size_t padding = last && text[i + 3] == '=' ? (text[i + 2] == '=' ? 2 : 1) : 0;
        uint32_t group = 0;
        for (size_t k = 0; k < 4; ++k) {
            const int sextet = k < 4 - padding ? SextetOf(text[i + k]) : 0;
            if (sextet < 0) return std::nullopt;
            group = group << 6 | static_cast<uint32_t>(sextet);
        }
        bytes.push_back(static_cast<uint8_t>(group >> 16));
        if (padding < 2) bytes.push_back(static_cast<uint8_t>(group >> 8));
        if (padding < 1) bytes.push_back(static_cast<uint8_t>(group));
        // Bits that no byte takes must be zero, or two texts would name the same bytes.
        if ((padding == 1 && (group & 0xFF) != 0) || (padding == 2 && (group & 0xFFFF) != 0))
            return std::nullopt;
    }
    return bytes;
}
