#include "tools/fileservice/http_validators.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "common/instant.h"

namespace fileservice {

namespace {

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
    return since && lastModified <= since->unixSeconds;
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
        if (ifRange.starts_with('"') ? ifRange != etag : ParseHttpDate(ifRange) != Instant{lastModified})
            return whole;
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
