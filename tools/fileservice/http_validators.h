#pragma once
// The HTTP rules the file service applies to its answers, apart from any server: entity tags,
// conditional requests and byte ranges (RFC 9110). Portable and free of I/O.
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace fileservice {

// A strong entity tag for a file's content, from its size and modification time to the
// nanosecond: equal for copies made with times kept, as on several machines serving one folder.
std::string FileETag(std::uint64_t size, const struct timespec& modified);

// True when a GET/HEAD with these request headers (empty when absent) is answered 304 for a
// representation with `etag` and `lastModified`: If-None-Match, when present, decides alone (weak
// comparison, "*" matches); otherwise If-Modified-Since at or after the modification second.
bool NotModified(std::string_view ifNoneMatch, std::string_view ifModifiedSince, std::string_view etag,
                 std::time_t lastModified);

struct ByteRange {
    enum class Kind { Whole, Part, Unsatisfiable } kind = Kind::Whole;
    std::uint64_t first = 0, length = 0;  // for Part
};

// The part of a representation of `size` bytes that a Range header asks for. Only a single
// "bytes=" range is honoured; several ranges, other units, malformed headers and an If-Range that
// does not match the current `etag` (strong comparison) or `lastModified` give Whole, as RFC 9110
// allows. A range starting at or after the end (or an empty suffix) is Unsatisfiable (416).
ByteRange RequestedRange(std::string_view range, std::string_view ifRange, std::uint64_t size,
                         std::string_view etag, std::time_t lastModified);

}  // namespace fileservice
