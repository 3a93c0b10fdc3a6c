#pragma once
// What lets an interrupted download continue where it stopped instead of starting again: a first
// answer that accepts byte ranges and names a validator, and a 206 answer that carries all the rest,
// from exactly the length already written to the end. Portable: no windows.h.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A Content-Length value: one or more decimal digits and nothing else (no sign, no blank, no second
// value), within 64 bits. Nothing for anything else.
std::optional<uint64_t> ParseContentLength(std::string_view AValue);

// Content-Range of a 206 answer: "bytes FIRST-LAST/COMPLETE", COMPLETE "*" when unknown.
struct TContentRange {
    uint64_t First = 0;
    uint64_t Last = 0;
    std::optional<uint64_t> Complete;
};
std::optional<TContentRange> ParseContentRange(std::string_view AValue);

// The If-Range value for continuing the body of an answer with these headers: its strong ETag, or
// else its Last-Modified date when that is a strong validator (at least one second before the
// answer's Date). Empty when the answer does not accept byte ranges or names no such validator: a
// weak ETag or a bare date cannot prove that the rest belongs to the same content.
std::string ResumeValidator(std::string_view AAcceptRanges, std::string_view AETag,
                            std::string_view ALastModified, std::string_view ADate);

// The request headers (CRLF-terminated lines) that ask for the content from byte AOffset on, only
// if it is still the content AValidator names.
std::string ResumeRequestHeaders(uint64_t AOffset, std::string_view AValidator);
