#include "update/report/update_report.h"

#include <windows.h>

#include "base/event_log.h"
#include "base/string_convert.h"

namespace {

const wchar_t* ModuleField(const std::wstring& AModuleName) {
    // The start-up refresh names no module.
    return AModuleName.empty() ? L"-" : AModuleName.c_str();
}

TErrorCategory RefusalCategory(TRefusal ARefusal) {
    switch (ARefusal) {
        case TRefusal::Expired:
            return TErrorCategory::Expired;
        case TRefusal::OlderRelease:
        case TRefusal::ReplacedDocument:
            return TErrorCategory::Replayed;
        case TRefusal::UnpinnedRelease:
            return TErrorCategory::Altered;
        default:
            // No manifest, no usable key, a bad signature, a signed text that is no manifest.
            return TErrorCategory::Signature;
    }
}

TLogLine& AddFailure(TLogLine& ALine, const TFailureInfo& AFailure) {
    return ALine.Add("reason", AFailure.Text)
        .Add("category", ErrorCategoryName(AFailure.Category))
        .Add("code", ErrorCodeText(AFailure.Code));
}

const char* ViaName(TFetchVia AVia) {
    switch (AVia) {
        case TFetchVia::Patch:
            return "patch";
        case TFetchVia::Deflate:
            return "deflate";
        default:
            return "plain";
    }
}

std::mutex gObserverLock;
std::shared_ptr<IUpdateOutcomeObserver> gObserver;

void Tell(const TUpdateOutcome& AOutcome) {
    std::shared_ptr<IUpdateOutcomeObserver> observer;
    {
        const std::lock_guard lock(gObserverLock);
        observer = gObserver;
    }
    if (observer) observer->UpdateEnded(AOutcome);
}

}  // namespace

void SetUpdateOutcomeObserver(std::shared_ptr<IUpdateOutcomeObserver> AObserver) {
    const std::lock_guard lock(gObserverLock);
    gObserver = std::move(AObserver);
}

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

TUpdateOutcome TUpdateReport::Outcome() const {
    TUpdateOutcome outcome;
    outcome.Module = FModuleName;
    outcome.FilesListed = FListedServer;
    outcome.FilesFetched = FFetched.load();
    outcome.FilesFailed = FFailed.load();
    outcome.Bytes = FBytes.load();
    outcome.FilesPatched = FPatched.load();
    outcome.FilesDeflated = FDeflated.load();
    outcome.WireBytes = FWireBytes.load();
    if (FStoreBytes) outcome.StoreBytes = FStoreBytes();
    outcome.DurationMs = GetTickCount64() - FStart;
    outcome.Rollout = FRollout;
    return outcome;
}

void TUpdateReport::Abandoned(std::exception_ptr AReason) {
    const TFailureInfo failure = FailureOf(AReason);
    TLogLine line(TLogLevel::Error, "update-failed");
    line.Add("module", ModuleField(FModuleName)).Add("source", FSource);
    AddFailure(line, failure).Add("ms", GetTickCount64() - FStart);
    LogEvent(line);
    TUpdateOutcome outcome = Outcome();
    outcome.Result = TUpdateResult::Failed;
    outcome.Failure = failure;
    Tell(outcome);
}

void TUpdateReport::Completed(const TVerificationReport& AVerification, size_t AAltered) {
    TUpdateOutcome outcome = Outcome();
    if (AVerification.Refusal != TRefusal::None) {
        outcome.Result = TUpdateResult::Refused;
        outcome.Failure = {
            WideToUtf8(RefusalReason(AVerification)), RefusalCategory(AVerification.Refusal), {}};
        // The reason with its category, where IT greps for it; the message line has the user's words.
        LogEvent(TLogLine(TLogLevel::Warn, "update-refused")
                     .Add("module", ModuleField(FModuleName))
                     .Add("source", FSource)
                     .Add("reason", outcome.Failure.Text)
                     .Add("category", ErrorCategoryName(outcome.Failure.Category)));
    } else if (outcome.FilesFailed > 0) {
        const std::lock_guard lock(FFailureLock);
        if (FFirstFailure) outcome.Failure = *FFirstFailure;
        outcome.Result = AAltered > 0 ? TUpdateResult::Refused : TUpdateResult::Failed;
        // Content that is not the signed one outweighs whatever else failed.
        if (AAltered > 0 && outcome.Failure.Category != TErrorCategory::Altered)
            outcome.Failure = {outcome.Failure.Text, TErrorCategory::Altered, {}};
    }
    Tell(outcome);

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
                 .Add("patched", FPatched.load())
                 .Add("wire_bytes", FWireBytes.load())
                 .Add("ms", GetTickCount64() - FStart));
}

TUpdateReport::TFetch::TFetch(TUpdateReport& AReport, std::wstring AFileName, bool ASizeKnown)
    : FReport(AReport),
      FFileName(std::move(AFileName)),
      FObserver(*AReport.FProgress, ASizeKnown),
      FStart(GetTickCount64()) {}

void TUpdateReport::TFetch::Fetched(TFetchVia AVia, uint64_t AWireBytes) {
    FObserver.Finished();
    FReport.FFetched.fetch_add(1);
    FReport.FBytes.fetch_add(FObserver.Bytes());
    FReport.FWireBytes.fetch_add(AWireBytes);
    if (AVia == TFetchVia::Patch) FReport.FPatched.fetch_add(1);
    if (AVia == TFetchVia::Deflate) FReport.FDeflated.fetch_add(1);
    LogEvent(TLogLine(TLogLevel::Info, "fetch")
                 .Add("module", ModuleField(FReport.FModuleName))
                 .Add("file", FFileName)
                 .Add("bytes", FObserver.Bytes())
                 .Add("via", ViaName(AVia))
                 .Add("wire_bytes", AWireBytes)
                 .Add("ms", GetTickCount64() - FStart));
}

void TUpdateReport::TFetch::Failed(std::exception_ptr AReason) {
    FObserver.Finished();
    FReport.FFailed.fetch_add(1);
    const TFailureInfo failure = FailureOf(AReason);
    {
        const std::lock_guard lock(FReport.FFailureLock);
        if (!FReport.FFirstFailure) {
            FReport.FFirstFailure = failure;
            FReport.FFirstFailure->Text = WideToUtf8(FFileName) + ": " + failure.Text;
        }
    }
    TLogLine line(TLogLevel::Warn, "fetch-failed");
    line.Add("module", ModuleField(FReport.FModuleName)).Add("file", FFileName);
    AddFailure(line, failure).Add("ms", GetTickCount64() - FStart);
    LogEvent(line);
}
