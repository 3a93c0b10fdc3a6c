#include "update/report/update_report.h"

#include <windows.h>

#include "base/event_log.h"
#include "base/string_convert.h"
#include "launcher/fleet/fleet_reports.h"

namespace {

const wchar_t* ModuleField(const std::wstring& AModuleName) {
    // The start-up refresh names no module.
    return AModuleName.empty() ? L"-" : AModuleName.c_str();
}

std::string ReasonOf(std::exception_ptr AError) {
    try {
        if (AError) std::rethrow_exception(AError);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
    }
    return "unknown error";
}

TFleetReason FleetReasonOf(TRefusal ARefusal) {
    switch (ARefusal) {
        case TRefusal::Expired:
            return TFleetReason::Expired;
        case TRefusal::OlderRelease:
            return TFleetReason::Replayed;
        default:
            // No manifest, no usable key, a bad signature, a signed text that is no manifest.
            return TFleetReason::Signature;
    }
}

}  // namespace

TUpdateReport::TUpdateReport(std::wstring ASource) : FSource(std::move(ASource)), FStart(GetTickCount64()) {}

void TUpdateReport::Listed(size_t ALocalFiles, size_t AServerFiles) {
    FListedLocal = ALocalFiles;
    FListedServer = AServerFiles;
}

void TUpdateReport::RolloutTaken(const TRolloutState& AState) {
    FRollout = AState;
    const auto optional = [](const auto& AValue) {
        return AValue ? std::to_string(*AValue) : std::string("-");
    };
    LogEvent(TLogLine(TLogLevel::Info, "rollout")
                 .Add("module", ModuleField(FModuleName))
                 .Add("ring", AState.Ring)
                 .Add("number", optional(AState.Number))
                 .Add("serial", optional(AState.RolloutSerial))
                 .Add("release", optional(AState.Release)));
}

bool TUpdateReport::Queued(const std::wstring& AFileName) {
    std::optional<uint64_t> size;
    if (FExpectedSizes) size = FExpectedSizes(AFileName);
    FProgress->AddFile(size);
    ++FQueued;
    return size.has_value();
}

TFleetReport TUpdateReport::FleetReport() const {
    TFleetReport report;
    report.Event = FModuleName.empty() ? TFleetEvent::Startup : TFleetEvent::Module;
    report.Module = WideToUtf8(FModuleName);
    report.FilesListed = FListedServer;
    report.FilesFetched = FFetched.load();
    report.FilesFailed = FFailed.load();
    report.Bytes = FBytes.load();
    report.DurationMs = GetTickCount64() - FStart;
    if (!FRollout.Ring.empty()) report.Release.Ring = WideToUtf8(FRollout.Ring);
    report.Release.RolloutNumber = FRollout.Number;
    report.Release.RolloutSerial = FRollout.RolloutSerial;
    report.Release.Release = FRollout.Release;
    return report;
}

void TUpdateReport::Abandoned(std::exception_ptr AReason) {
    const std::string reason = ReasonOf(AReason);
    LogEvent(TLogLine(TLogLevel::Error, "update-failed")
                 .Add("module", ModuleField(FModuleName))
                 .Add("source", FSource)
                 .Add("reason", reason)
                 .Add("ms", GetTickCount64() - FStart));
    TFleetReport report = FleetReport();
    report.Result = TFleetResult::Failed;
    report.Reason = FleetReasonOfMessage(reason, TFleetReason::Listing);
    report.Text = reason;
    FleetReports().Send(report);
}

void TUpdateReport::Completed(const TVerificationReport& AVerification, size_t AAltered) {
    TFleetReport report = FleetReport();
    if (AVerification.Refusal != TRefusal::None) {
        report.Result = TFleetResult::Refused;
        report.Reason = FleetReasonOf(AVerification.Refusal);
        report.Text = WideToUtf8(RefusalReason(AVerification));
    } else if (report.FilesFailed > 0) {
        const std::lock_guard lock(FFailureLock);
        report.Result = AAltered > 0 ? TFleetResult::Refused : TFleetResult::Failed;
        // The file's name is left out of the judgement: "DiskTool.exe" names no disk.
        const size_t colon = FFirstFailure.find(": ");
        const std::string why = colon == std::string::npos ? FFirstFailure : FFirstFailure.substr(colon + 2);
        report.Reason = AAltered > 0 ? TFleetReason::Altered : FleetReasonOfMessage(why, TFleetReason::Fetch);
        report.Text = FFirstFailure;
    }
    FleetReports().Send(report);

    const uint32_t failed = FFailed.load();
    LogEvent(TLogLine(failed ? TLogLevel::Warn : TLogLevel::Info, "update")
                 .Add("module", ModuleField(FModuleName))
                 .Add("source", FSource)
                 .Add("listed", FListedLocal)
                 .Add("server", FListedServer)
                 .Add("queued", FQueued)
                 .Add("fetched", FFetched.load())
                 .Add("failed", failed)
                 .Add("bytes", FBytes.load())
                 .Add("ms", GetTickCount64() - FStart));
}

TUpdateReport::TFetch::TFetch(TUpdateReport& AReport, std::wstring AFileName, bool ASizeKnown)
    : FReport(AReport),
      FFileName(std::move(AFileName)),
      FObserver(*AReport.FProgress, ASizeKnown),
      FStart(GetTickCount64()) {}

void TUpdateReport::TFetch::Fetched() {
    FObserver.Finished();
    FReport.FFetched.fetch_add(1);
    FReport.FBytes.fetch_add(FObserver.Bytes());
    LogEvent(TLogLine(TLogLevel::Info, "fetch")
                 .Add("module", ModuleField(FReport.FModuleName))
                 .Add("file", FFileName)
                 .Add("bytes", FObserver.Bytes())
                 .Add("ms", GetTickCount64() - FStart));
}

void TUpdateReport::TFetch::Failed(std::exception_ptr AReason) {
    FObserver.Finished();
    FReport.FFailed.fetch_add(1);
    const std::string reason = ReasonOf(AReason);
    {
        const std::lock_guard lock(FReport.FFailureLock);
        if (FReport.FFirstFailure.empty()) FReport.FFirstFailure = WideToUtf8(FFileName) + ": " + reason;
    }
    LogEvent(TLogLine(TLogLevel::Warn, "fetch-failed")
                 .Add("module", ModuleField(FReport.FModuleName))
                 .Add("file", FFileName)
                 .Add("reason", reason)
                 .Add("ms", GetTickCount64() - FStart));
}
