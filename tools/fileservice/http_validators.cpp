#include "tools/fileservice/http_validators.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace fileservice {

namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::string_view Opaque(std::string_view tag) {
    tag = Trim(tag);
    if (tag.starts_with("W/")) tag.remove_prefix(2);
    return tag;
}

bool ParseNumber(std::string_view text, std::uint64_t& value) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string HttpDate(std::time_t time) {
    struct tm utc {};
    gmtime_r(&time, &utc);
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday], utc.tm_mday,
                  kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::optional<std::time_t> ParseHttpDate(std::string_view text) {
    text = Trim(text);
    // "Sun, 06 Nov 1994 08:49:37 GMT": fixed width, 29 characters.
    if (text.size() != 29 || text.substr(3, 2) != ", " || text.substr(25) != " GMT") return std::nullopt;
    struct tm utc {};
    int month = -1;
    for (int i = 0; i < 12; ++i)
        if (text.substr(8, 3) == kMonths[i]) month = i;
    const auto number = [&](size_t at, size_t width, int& out) {
        std::uint64_t value = 0;
        if (!ParseNumber(text.substr(at, width), value)) return false;
        out = static_cast<int>(value);
        return true;
    };
    if (month < 0 || text[7] != ' ' || text[11] != ' ' || text[16] != ' ' || text[19] != ':' ||
        text[22] != ':' || !number(5, 2, utc.tm_mday) || !number(12, 4, utc.tm_year) ||
        !number(17, 2, utc.tm_hour) || !number(20, 2, utc.tm_min) || !number(23, 2, utc.tm_sec))
        return std::nullopt;
    if (utc.tm_mday < 1 || utc.tm_mday > 31 || utc.tm_hour > 23 || utc.tm_min > 59 || utc.tm_sec > 60)
        return std::nullopt;
    utc.tm_mon = month;
    utc.tm_year -= 1900;
    return timegm(&utc);
}

std::string FileETag(std::uint64_t size, const struct timespec& modified) {
    char text[64];
    std::snprintf(text, sizeof text, "\"%llx-%llx.%lx\"", static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(modified.tv_sec), static_cast<long>(modified.tv_nsec));
    return text;
}

bool NotModified(std::string_view ifNoneMatch, std::string_view ifModifiedSince, std::string_view etag,
                 std::time_t lastModified) {
    if (!Trim(ifNoneMatch).empty()) {
        std::string_view rest = ifNoneMatch;
        while (!rest.empty()) {
            const size_t comma = rest.find(',');
            const std::string_view tag = Opaque(rest.substr(0, comma));
            if (tag == "*" || tag == Opaque(etag)) return true;
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
        return false;
    }
    const auto since = ParseHttpDate(ifModifiedSince);
    return since && lastModified <= *since;
}

ByteRange RequestedRange(std::string_view range, std::string_view ifRange, std::uint64_t size,
                         std::string_view etag, std::time_t lastModified) {
    const ByteRange whole{};
    range = Trim(range);
    if (!range.starts_with("bytes=")) return whole;
    range.remove_prefix(6);
    if (range.find(',') != std::string_view::npos) return whole;
    ifRange = Trim(ifRange);
    if (!ifRange.empty()) {
        // A weak tag never matches here: a resumed body must continue the very same bytes.
        if (ifRange.starts_with('"') ? ifRange != etag : ParseHttpDate(ifRange) != lastModified) return whole;
    }
    const size_t dash = range.find('-');
    if (dash == std::string_view::npos) return whole;
    const std::string_view from = Trim(range.substr(0, dash)), to = Trim(range.substr(dash + 1));
    std::uint64_t first = 0, last = 0;
    if (from.empty()) {
        if (!ParseNumber(to, last)) return whole;
        if (last == 0 || size == 0) return {ByteRange::Kind::Unsatisfiable};
        const std::uint64_t length = std::min(last, size);
        return {ByteRange::Kind::Part, size - length, length};
    }
    if (!ParseNumber(from, first)) return whole;
    if (to.empty()) {
        last = size ? size - 1 : 0;
    } else if (!ParseNumber(to, last) || last < first) {
        return whole;
    }
    if (first >= size) return {ByteRange::Kind::Unsatisfiable};
    last = std::min(last, size - 1);
    return {ByteRange::Kind::Part, first, last - first + 1};
}

}  // namespace fileservice
