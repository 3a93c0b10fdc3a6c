#pragma once
// What the client's Windows tests share: the message an Error leaves with, and a fetch observer that
// records what the download reports.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "update/fetch_observer.h"
#include "update/retry_policy.h"

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
