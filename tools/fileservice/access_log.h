#pragma once
// The request log line: Apache's Combined Log Format, which log tools read as is, followed by the
// request's duration in microseconds and the bytes sent including headers (Apache's %D and %O):
//   127.0.0.1 - - [10/Dec/2026:14:05:53 +0000] "GET /download?file=a.txt HTTP/1.1" 200 3 "-" "curl/7.88.1"
//   412 215
#include <chrono>
#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

namespace fileservice {

struct LoggedRequest {
    std::string_view remoteAddress, method, target, version, referer, userAgent;
    int status = 0;
    std::size_t bodyBytes = 0;  // 0 is written as "-", as the format wants
    std::time_t time = 0;
    std::chrono::microseconds duration{0};
    std::size_t bytesSent = 0;
};

// One line, ending in "\n". Quotes, backslashes and control bytes in the request's texts are
// escaped (\" \\ \xHH), so a crafted request cannot forge a line or a field.
std::string CombinedLogLine(const LoggedRequest& request);

}  // namespace fileservice
