#pragma once
// An instant as the manifest writes it, for messages: "YYYY-MM-DDTHH:MM:SSZ".
#include <cstdint>
#include <ctime>
#include <string>

namespace publish {

inline std::string UtcText(int64_t unixSeconds) {
    const time_t seconds = static_cast<time_t>(unixSeconds);
    struct tm parts {};
    char text[32] = "?";
    if (gmtime_r(&seconds, &parts) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

}  // namespace publish
