#include "common/hex.h"

namespace {

char Digit(unsigned value, HexCase letters) {
    return (letters == HexCase::Lower ? "0123456789abcdef" : "0123456789ABCDEF")[value & 15];
}

}  // namespace

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void AppendHex(std::string& out, uint8_t byte, HexCase letters) {
    out.push_back(Digit(byte >> 4, letters));
    out.push_back(Digit(byte, letters));
}

std::string HexText(const uint8_t* bytes, size_t size, HexCase letters) {
    std::string out;
    out.reserve(2 * size);
    for (size_t i = 0; i < size; ++i) AppendHex(out, bytes[i], letters);
    return out;
}

bool HexBytes(std::string_view hex, uint8_t* out, size_t size) {
    if (hex.size() != 2 * size) return false;
    for (size_t i = 0; i < size; ++i) {
        const int high = HexDigitValue(hex[2 * i]), low = HexDigitValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}
