#pragma once
// One verified update run to its end through the files updater, for the tests that try signed
// releases and release control against real server folders and services.
#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "support/message_pump.h"
#include "update/report/update_outcome.h"
#include "update/updater/files_updater.h"

// A registry key of its own for each workstation's accepted serials, removed afterwards.
class SerialKey {
  public:
    SerialKey() {
        static int counter = 0;
        path_ = L"Software\\AureviaTest\\serials-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter);
    }
    ~SerialKey() { RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str()); }
    SerialKey(const SerialKey&) = delete;
    SerialKey& operator=(const SerialKey&) = delete;
    const std::wstring& Path() const { return path_; }

  private:
    std::wstring path_;
};

// The outcomes the update report tells (the figures of the IT log's update line and the fleet view),
// kept while this lives.
class CapturedOutcomes final : public IUpdateOutcomeObserver {
  public:
    static std::shared_ptr<CapturedOutcomes> Connect() {
        auto captured = std::make_shared<CapturedOutcomes>();
        SetUpdateOutcomeObserver(captured);
        return captured;
    }
    ~CapturedOutcomes() override = default;
    void UpdateEnded(const TUpdateOutcome& AOutcome) noexcept override { last = AOutcome; }
    TUpdateOutcome last;
};

// Disconnects the captured outcomes at the end of a test, also when it fails.
struct OutcomesConnected {
    std::shared_ptr<CapturedOutcomes> captured = CapturedOutcomes::Connect();
    ~OutcomesConnected() { SetUpdateOutcomeObserver(nullptr); }
};

struct Outcome {
    std::optional<std::string> error;
    bool completed = false;
    TVerificationReport report;
};

// Updates Admission.exe and the shared files of `local` from the server folder `remote` or the
// service at `url`, pumping messages until the updater reports (or briefly, after a thrown error).
inline Outcome RunUpdate(const std::wstring& local, const std::wstring& remote, const std::wstring& url,
                         const TUpdateVerification& verification) {
    Outcome outcome;
    try {
        TFilesUpdater::New(local, remote, url, verification, [&](const TVerificationReport& report) {
            outcome.report = report;
            outcome.completed = true;
        })->Execute(L"Admission.exe", true);
    } catch (const std::exception& e) {
        outcome.error = e.what();
    }
    PumpUntil([&] { return outcome.completed; }, outcome.error ? 500 : 60000);
    return outcome;
}
