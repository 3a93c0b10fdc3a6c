#include "update/transport/resume_rules.h"

#include <cctype>
#include <chrono>

#include "common/instant.h"

namespace {

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Digits up to the first character that is not one; false when there are none or they overflow.
bool ReadNumber(std::string_view& s, uint64_t& value) {
    value = 0;
    size_t n = 0;
    while (n < s.size() && std::isdigit(static_cast<unsigned char>(s[n]))) {
        const uint64_t digit = static_cast<uint64_t>(s[n] - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
        ++n;
    }
    s.remove_prefix(n);
    return n > 0;
}

}  // namespace

std::optional<uint64_t> ParseContentLength(std::string_view AValue) {
    uint64_t value = 0;
    if (!ReadNumber(AValue, value) || !AValue.empty()) return std::nullopt;
    return value;
}

namespace {

bool AcceptsBytes(std::string_view acceptRanges) {
    while (!acceptRanges.empty()) {
        const size_t comma = acceptRanges.find(',');
        if (EqualsNoCase(Trimmed(acceptRanges.substr(0, comma)), "bytes")) return true;
        if (comma == std::string_view::npos) break;
        acceptRanges.remove_prefix(comma + 1);
    }
    return false;
}

// A quoted tag of visible characters: it goes back into a request header as it stands.
bool IsStrongETag(std::string_view etag) {
    if (etag.size() < 2 || etag.front() != '"' || etag.back() != '"') return false;
    for (const char c : etag.substr(1, etag.size() - 2))
        if (c < 0x21 || c > 0x7e || c == '"') return false;
    return true;
}

}  // namespace

std::optional<TContentRange> ParseContentRange(std::string_view AValue) {
    AValue = Trimmed(AValue);
    if (AValue.size() < 6 || !EqualsNoCase(AValue.substr(0, 6), "bytes ")) return std::nullopt;
    AValue = Trimmed(AValue.substr(6));
    TContentRange range;
    if (!ReadNumber(AValue, range.First) || AValue.empty() || AValue.front() != '-') return std::nullopt;
    AValue.remove_prefix(1);
    if (!ReadNumber(AValue, range.Last) || AValue.empty() || AValue.front() != '/') return std::nullopt;
    AValue.remove_prefix(1);
    if (AValue == "*") {
        if (range.Last < range.First) return std::nullopt;
        return range;
    }
    uint64_t complete = 0;
    if (!ReadNumber(AValue, complete) || !AValue.empty()) return std::nullopt;
    if (range.Last < range.First || range.Last >= complete) return std::nullopt;
    range.Complete = complete;
    return range;
}

std::string ResumeValidator(std::string_view AAcceptRanges, std::string_view AETag,
                            std::string_view ALastModified, std::string_view ADate) {
    if (!AcceptsBytes(AAcceptRanges)) return {};
    AETag = Trimmed(AETag);
    if (IsStrongETag(AETag)) return std::string(AETag);
    const auto modified = ParseHttpDate(Trimmed(ALastModified));
    const auto date = ParseHttpDate(Trimmed(ADate));
    if (modified && date && modified->unixSeconds + 1 <= date->unixSeconds)
        return std::string(Trimmed(ALastModified));
    return {};
}

std::string ResumeRequestHeaders(uint64_t AOffset, std::string_view AValidator) {
    return "Range: bytes=" + std::to_string(AOffset) + "-\r\nIf-Range: " + std::string(AValidator) + "\r\n";
}
