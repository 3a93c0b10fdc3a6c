#pragma once
// What the client's Windows tests share: the message an Error leaves with, the fixture folders, test
// content, and a fetch observer that records what the download reports.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/string_convert.h"
#include "update/stream/fetch_observer.h"
#include "update/transport/retry_policy.h"

// Retries as the product makes them, with waits short enough for a test.
constexpr TRESTRetries kQuickRetries{3, 10, 2000};

// The message of the Error that `call` raises ("" when it raises none).
inline std::string RaisedMessage(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

// The folder that a ctest fixture names in the environment variable `name` (a Linux path), as Wine
// sees it (Z: is /); empty when the variable is not set.
inline std::filesystem::path FixtureFolder(const char* name) {
    const char* linuxPath = std::getenv(name);
    if (!linuxPath) return {};
    std::wstring folder = L"Z:" + Utf8ToWide(linuxPath);
    for (auto& c : folder)
        if (c == L'/') c = L'\\';
    return folder;
}

// Bytes that differ from their neighbours, so that a piece written twice or in the wrong place shows.
inline std::string PatternedContent(size_t size) {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 7919 % 251);
    return content;
}

// Keeps every Begin offset and the content as the observer saw it, rewound at each Begin.
class RecordingObserver : public IFetchObserver {
  public:
    void Begin(uint64_t offset, std::optional<uint64_t> total) override {
        begins.push_back(offset);
        totals.push_back(total);
        seen.resize(static_cast<size_t>(offset));
    }
    void Received(const char* data, size_t size) override { seen.append(data, size); }

    std::vector<uint64_t> begins;
    std::vector<std::optional<uint64_t>> totals;
    std::string seen;
};
