#include "update/progress/update_report.h"

#include <windows.h>

#include "base/event_log.h"

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

}  // namespace

TUpdateReport::TUpdateReport(std::wstring ASource) : FSource(std::move(ASource)), FStart(GetTickCount64()) {}

void TUpdateReport::Listed(size_t ALocalFiles, size_t AServerFiles) {
    FListedLocal = ALocalFiles;
    FListedServer = AServerFiles;
}

void TUpdateReport::RolloutTaken(const TRolloutState& AState) {
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

void TUpdateReport::Abandoned(std::exception_ptr AReason) {
    LogEvent(TLogLine(TLogLevel::Error, "update-failed")
                 .Add("module", ModuleField(FModuleName))
                 .Add("source", FSource)
                 .Add("reason", ReasonOf(AReason))
                 .Add("ms", GetTickCount64() - FStart));
}

void TUpdateReport::Completed() {
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
    LogEvent(TLogLine(TLogLevel::Warn, "fetch-failed")
                 .Add("module", ModuleField(FReport.FModuleName))
                 .Add("file", FFileName)
                 .Add("reason", ReasonOf(AReason))
                 .Add("ms", GetTickCount64() - FStart));
}
