// The readers of common/ take text from the wire (report times, HTTP dates, queries, names, UTF-8):
// any text must be read without fault, and what is read must write back as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

#include "common/fleet_report_format.h"
#include "common/instant.h"
#include "common/json_writer.h"
#include "common/query_string.h"
#include "common/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto instant = ParseUtcText(text); instant && UtcText(*instant) != text) std::abort();
    if (const auto instant = ParseOffsetTime(text); instant && UtcText(*instant).empty()) std::abort();
    if (const auto instant = ParseHttpDate(text); instant && ParseHttpDate(HttpDateText(*instant)) != instant)
        std::abort();
    QueryValue(text, "a");
    RawQueryTail(QueryOf(text), "file");
    if (!IsFleetMachineName(FleetMachineName(text))) std::abort();

    bool valid = true;
    for (std::string_view rest = text; !rest.empty();) {
        const Utf8Sequence sequence = DecodeUtf8(rest);
        if (sequence.length == 0) {
            valid = false;
            rest.remove_prefix(1);
            continue;
        }
        std::string again;
        AppendUtf8(again, sequence.point);
        if (again != rest.substr(0, sequence.length)) std::abort();
        rest.remove_prefix(sequence.length);
    }
    // Valid UTF-8 goes through the JSON writer and back unchanged.
    if (valid) {
        std::string json;
        AppendJsonString(json, text);
        rapidjson::Document document;
        document.Parse<rapidjson::kParseValidateEncodingFlag>(json.data(), json.size());
        if (document.HasParseError() || !document.IsString() ||
            std::string_view(document.GetString(), document.GetStringLength()) != text)
            std::abort();
    }
    return 0;
}
