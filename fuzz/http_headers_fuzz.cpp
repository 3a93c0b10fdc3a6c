// The answer headers the client reads to decide a retry or a resume come from whatever answers:
// any text must be read without fault, and what reads must hold together (a range inside its
// length, a validator that is safe to send back, a wait that is never negative).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/instant.h"
#include "update/transport/resume_rules.h"
#include "update/transport/retry_policy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto date = ParseHttpDate(text); date && HttpDateText(*date).empty()) std::abort();
    const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
    if (const auto wait = ParseRetryAfter(text, now); wait && wait->count() < 0) std::abort();
    if (const auto range = ParseContentRange(text)) {
        if (range->Last < range->First) std::abort();
        if (range->Complete && range->Last >= *range->Complete) std::abort();
    }
    // The text split into the four headers a first answer offers.
    const size_t a = size / 4, b = size / 2, c = 3 * size / 4;
    const std::string validator =
        ResumeValidator(text.substr(0, a), text.substr(a, b - a), text.substr(b, c - b), text.substr(c));
    for (const char ch : validator)
        if (ch == '\r' || ch == '\n' || ch == '\0') std::abort();
    return 0;
}
