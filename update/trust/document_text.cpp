#include "update/trust/document_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <utility>

#include "common/hex.h"
#include "common/instant.h"

namespace document_text {

namespace {

// Every instant of a signed document may end up as a file's last-write time, so only those a Windows
// file time can hold are taken: from 1601-01-01T00:00:01Z (a file time of 0 tells SetFileTime to
// leave the time alone) to the end of the four-digit years (a file time reaches 30828). A valid
// signature is no proof of a sane date.
constexpr int64_t kFirstFileTimeInstant = -11'644'473'599;  // 1601-01-01T00:00:01Z
constexpr int64_t kLastFileTimeInstant = 253'402'300'799;   // 9999-12-31T23:59:59Z
constexpr std::string_view kInstantRange = " lies outside 1601-01-01T00:00:01Z to 9999-12-31T23:59:59Z";

bool FileTimeCanHold(int64_t unixSeconds) {
    return unixSeconds >= kFirstFileTimeInstant && unixSeconds <= kLastFileTimeInstant;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Windows maps these names to devices in every folder and whatever the extension: "nul.dll" opens
// the null device. Its port digits include the superscripts 1, 2 and 3 (U+00B9, U+00B2, U+00B3,
// two bytes each in UTF-8), which a code page's "1" can become in a name.
bool IsReservedDeviceName(std::string_view level) {
    const std::string stem = AsciiLowered(level.substr(0, level.find('.')));
    static constexpr std::array<std::string_view, 4> kPlain = {"con", "prn", "aux", "nul"};
    if (std::find(kPlain.begin(), kPlain.end(), stem) != kPlain.end()) return true;
    if (stem.compare(0, 3, "com") != 0 && stem.compare(0, 3, "lpt") != 0) return false;
    const std::string_view digit = std::string_view(stem).substr(3);
    static constexpr std::array<std::string_view, 3> kSuperscripts = {"\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};
    if (digit.size() == 1) return digit[0] >= '1' && digit[0] <= '9';
    return std::find(kSuperscripts.begin(), kSuperscripts.end(), digit) != kSuperscripts.end();
}

}  // namespace

void Fail(const std::string& message) { throw TManifestError(message); }

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

std::string AsciiLowered(std::string_view text) {
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), AsciiLower);
    return lowered;
}

uint64_t UnsignedFrom(std::string_view member, std::string_view digits) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || digits.front() == '-' || error != std::errc() ||
        end != digits.data() + digits.size())
        Fail("\"" + std::string(member) + "\" is not an unsigned integer: " + std::string(digits));
    return value;
}

// One form, one meaning, no time zone to apply.
int64_t UnixSecondsFrom(std::string_view member, std::string_view text) {
    const auto instant = ParseUtcText(text);
    if (!instant)
        Fail("\"" + std::string(member) +
             "\" is not a UTC instant of the form YYYY-MM-DDTHH:MM:SSZ: " + std::string(text));
    if (!FileTimeCanHold(instant->unixSeconds))
        Fail("\"" + std::string(member) + "\"" + std::string(kInstantRange) + ": " + std::string(text));
    return instant->unixSeconds;
}

std::string UtcInstantText(int64_t unixSeconds, std::string_view what) {
    if (!FileTimeCanHold(unixSeconds)) Fail(std::string(what) + std::string(kInstantRange));
    return UtcText(Instant{unixSeconds});
}

TSha256 Sha256From(std::string_view hex) {
    TSha256 hash{};
    if (!HexBytes(hex, hash.data(), hash.size()))
        Fail("\"sha256\" is not 64 hex digits: " + std::string(hex));
    return hash;
}

std::string HexOf(const TSha256& hash) { return HexText(hash.data(), hash.size()); }

std::string KeyIdTextFrom(std::string_view member, std::string_view text) {
    const bool lowerHex =
        text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
    if (!lowerHex) Fail("\"" + std::string(member) + "\" is not a key id (64 lowercase hex digits)");
    return std::string(text);
}

bool IsNameText(std::string_view text) {
    if (text.empty() || text.size() > kMostNameLength) return false;
    for (const char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::string NameTextFrom(std::string_view member, std::string_view text) {
    if (!IsNameText(text))
        Fail("\"" + std::string(member) + "\" " + Shown(text) +
             " is not 1 to 64 characters of A-Z, a-z, 0-9, '.', '_' and '-'");
    return std::string(text);
}

std::string Shown(std::string_view name) {
    std::string shown = "\"";
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            shown += escape;
        } else {
            shown.push_back(c);
        }
    }
    return shown + "\"";
}

namespace {

template <class F>
void ForEachLevel(std::string_view name, F&& check) {
    size_t start = 0;
    while (true) {
        const size_t end = std::min(name.find('\\', start), name.size());
        check(name.substr(start, end - start), start == 0);
        if (end == name.size()) break;
        start = end + 1;
    }
}

}  // namespace

// The colon also opens drives and alternate streams.
void CheckName(std::string_view name) {
    const auto refuse = [&](const char* why) { Fail("File name " + Shown(name) + " " + why); };
    if (name.empty()) Fail("A file name is empty");
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 ||
            std::string_view("\"*/:<>?|").find(c) != std::string_view::npos)
            refuse("holds a character that no Windows file name may hold");
    }
    ForEachLevel(name, [&](std::string_view level, bool first) {
        if (level.empty()) refuse(first ? "is rooted" : "has an empty level");
        if (level == "." || level == "..") refuse("has a \".\" or \"..\" level");
    });
}

void CheckWindowsName(std::string_view name) {
    CheckName(name);
    ForEachLevel(name, [&](std::string_view level, bool) {
        if (IsReservedDeviceName(level))
            Fail("File name " + Shown(name) +
                 " is a device name on Windows (CON, PRN, AUX, NUL, COM1-9, LPT1-9, COM\xC2\xB9-\xC2\xB3, "
                 "LPT\xC2\xB9-\xC2\xB3)");
        if (level.back() == '.' || level.back() == ' ')
            Fail("File name " + Shown(name) + " ends a level in a dot or a space, which Windows drops");
    });
}

void CheckNamesAreDistinct(const std::vector<std::string_view>& names) {
    std::vector<std::pair<std::string, size_t>> lowered;  // lowered name, position
    lowered.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) lowered.emplace_back(AsciiLowered(names[i]), i);
    std::sort(lowered.begin(), lowered.end());
    const auto twice = std::adjacent_find(lowered.begin(), lowered.end(),
                                          [](const auto& a, const auto& b) { return a.first == b.first; });
    if (twice != lowered.end())
        Fail("File name " + Shown(names[std::next(twice)->second]) +
             " is listed twice (letter case aside, as on Windows)");
}

}  // namespace document_text
