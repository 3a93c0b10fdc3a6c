// Any text either reads as a finite date-time value or raises an Error; a value that reads must
// decode back to a valid date and time.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/string_convert.h"
#include "update/records/iso8601.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring text = Utf8ToWide(std::string_view(reinterpret_cast<const char*>(data), size));
    TDateTime value = 0;
    try {
        value = ISO8601ToDate(text);
    } catch (const Error&) {
        return 0;
    }
    if (!std::isfinite(value)) std::abort();
    const DateTimeParts parts = DecodeDateTime(value);
    if (!IsValidTime(parts.hour, parts.minute, parts.second, parts.millisecond)) std::abort();
    return 0;
}
