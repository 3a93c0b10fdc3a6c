#include "update/plan/staged_fetch.h"

#include <windows.h>

#include <algorithm>
#include <set>
#include <vector>

#include "base/error.h"
#include "base/handles.h"
#include "base/paths.h"
#include "base/string_convert.h"
#include "base/win32_error.h"
#include "update/disk/file_ages.h"
#include "update/disk/file_operations.h"
#include "update/source/update_source.h"
#include "update/stream/byte_sink.h"
#include "update/stream/token_bucket.h"
#include "update/trust/content_verifier.h"

namespace {

constexpr size_t kReadChunk = 256 * 1024;

// Raised from inside the transfer when the window paused or cancelled the fetch: the partial file
// keeps what arrived, and the fetch continues from there once resumed.
class TStagingInterrupted : public std::exception {
  public:
    const char* what() const noexcept override { return "staging paused"; }
};

std::wstring RemoteObjectName(const TSha256& ASha256) {
    std::wstring name = Utf8ToWide(ObjectPath(ASha256));
    std::replace(name.begin(), name.end(), L'/', L'\\');
    return name;
}

// Whether the program folder already holds the entry as signed (size and whole-second age, as an
// update compares): a click would fetch nothing for it.
bool InstalledAsSigned(const std::wstring& ALocalPath, const TReleaseFile& AFile) {
    const std::wstring path = PathJoin(ALocalPath, Utf8ToWide(AFile.Name));
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    if (((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow) != AFile.Size) return false;
    TDateTime age = -1;
    return ReadFileAge(path, age) && SameWholeSecond(age, UnixToAge(AFile.AgeUnix));
}

bool Installed(const std::wstring& ALocalPath, const TReleaseFile& AFile) {
    return FileExists(PathJoin(ALocalPath, Utf8ToWide(AFile.Name)));
}

// Writes into the partial object from its present length on, paced by the cap and stopped by a
// pause.
class TPartialObjectSink final : public IByteSink {
  public:
    TPartialObjectSink(HANDLE AFile, uint64_t AHeld, TTokenBucket& ABucket, TStagingControl& AControl,
                       uint64_t& AReceived)
        : FFile(AFile), FHeld(AHeld), FBucket(ABucket), FControl(AControl), FReceived(AReceived) {}

    void Begin(uint64_t AOffset, std::optional<uint64_t>) override {
        if (AOffset > FHeld)
            throw Error("a continued fetch whose start was not written", TErrorCategory::Fetch);
        LARGE_INTEGER position{};
        position.QuadPart = static_cast<LONGLONG>(AOffset);
        if (!SetFilePointerEx(FFile, position, nullptr, FILE_BEGIN) || !SetEndOfFile(FFile))
            ThrowLastError(TErrorCategory::Disk);
        FHeld = AOffset;
    }

    void Write(const char* AData, size_t ASize) override {
        if (FControl.Interrupted()) throw TStagingInterrupted();
        DWORD written = 0;
        if (!WriteFile(FFile, AData, static_cast<DWORD>(ASize), &written, nullptr) || written != ASize)
            ThrowLastError(TErrorCategory::Disk);
        FHeld += ASize;
        FReceived += ASize;
        const uint64_t wait = FBucket.Take(ASize, GetTickCount64());
        if (wait > 0 && !FControl.Sleep(wait)) throw TStagingInterrupted();
    }

  private:
    HANDLE FFile;
    uint64_t FHeld;
    TTokenBucket& FBucket;
    TStagingControl& FControl;
    uint64_t& FReceived;
};

enum class TObjectResult { Fetched, Failed, Altered, Cancelled };

class TRound {
  public:
    TRound(IUpdateSource& ASource, const TObjectStore& AStore, const TStagingSettings& ASettings,
           TStagingControl& AControl, TStagingOutcome& AOutcome)
        : FSource(ASource),
          FStore(AStore),
          FControl(AControl),
          FOutcome(AOutcome),
          FBucket(ASettings.MaxBytesPerSecond) {}

    // One object into the store, continued from its partial file; paused as often as the window asks.
    TObjectResult Fetch(const TReleaseFile& AFile) {
        const TManifestFile entry{AFile.Name, AFile.Size, AFile.Sha256};
        for (;;) {
            if (!FControl.WaitWhilePaused()) return TObjectResult::Cancelled;
            const std::wstring partial = FStore.PartialPath(AFile.Sha256);
            TContentVerifier verifier(entry);
            uint64_t held = 0;
            {
                unique_file file(CreateFileW(partial.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
                if (!file) {
                    FOutcome.LastFailure = WideToUtf8(partial) + ": " + std::to_string(GetLastError());
                    return TObjectResult::Failed;
                }
                try {
                    held = ReadHeld(file.get(), verifier, entry.Size);
                    if (held < entry.Size) {
                        TPartialObjectSink sink(file.get(), held, FBucket, FControl, FOutcome.Bytes);
                        FSource.FetchFrom(RemoteObjectName(AFile.Sha256), held, sink, &verifier);
                    }
                    verifier.Finish();
                } catch (const TStagingInterrupted&) {
                    continue;  // the partial keeps what arrived; the loop waits out the pause
                } catch (const std::exception& e) {
                    FOutcome.LastFailure = AFile.Name + ": " + e.what();
                    if (!verifier.Altered()) return TObjectResult::Failed;
                    file.reset();
                    FStore.Discard(AFile.Sha256);
                    return TObjectResult::Altered;
                }
            }
            FStore.Complete(AFile.Sha256);
            return TObjectResult::Fetched;
        }
    }

  private:
    // Hands what the partial file holds to the verifier, so that the rest continues its hash; a
    // partial longer than the object starts over.
    static uint64_t ReadHeld(HANDLE AFile, TContentVerifier& AVerifier, uint64_t ASize) {
        LARGE_INTEGER length{};
        if (!GetFileSizeEx(AFile, &length)) ThrowLastError(TErrorCategory::Disk);
        AVerifier.Begin(0, ASize);
        if (static_cast<uint64_t>(length.QuadPart) > ASize) return 0;  // Begin(0) of the sink cuts it
        std::vector<char> buffer(kReadChunk);
        uint64_t held = 0;
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(AFile, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
                ThrowLastError(TErrorCategory::Disk);
            if (got == 0) break;
            AVerifier.Received(buffer.data(), got);
            held += got;
        }
        return held;
    }

    IUpdateSource& FSource;
    const TObjectStore& FStore;
    TStagingControl& FControl;
    TStagingOutcome& FOutcome;
    TTokenBucket FBucket;
};

void Keep(std::set<TSha256>& AKeep, const std::optional<TRelease>& ARelease) {
    if (ARelease)
        for (const TReleaseFile& file : ARelease->Files) AKeep.insert(file.Sha256);
}

}  // namespace

TStagingOutcome RunStaging(const TUpdateVerification& AVerification, IUpdateSource& ASource,
                           const TObjectStore& AStore, const TStagingSettings& ASettings,
                           TStagingControl& AControl) {
    const uint64_t started = GetTickCount64();
    TStagingOutcome outcome;
    // Not even the rollout document is read beside an update the user waits for.
    if (!AControl.WaitWhilePaused()) {
        outcome.Plan.Detail = "cancelled";
        outcome.Cancelled = true;
        return outcome;
    }
    outcome.Plan = PlanStaging(AVerification, ASource);
    if (!outcome.Plan.Accepted) {
        outcome.Milliseconds = GetTickCount64() - started;
        return outcome;
    }
    const TStagingPlan& plan = outcome.Plan;
    std::set<TSha256> keep;
    Keep(keep, plan.Assigned);
    Keep(keep, plan.Previous);
    Keep(keep, plan.Staged);
    AStore.Prepare();
    outcome.Pruned = AStore.Prune(keep);

    // The staged release first: it is what the next switch needs. One object per content.
    std::vector<const TReleaseFile*> wanted;
    std::set<TSha256> queued;
    std::vector<const TReleaseFile*> stagedNeeded;
    if (plan.Staged) {
        for (const TReleaseFile& file : plan.Staged->Files)
            if (!InstalledAsSigned(ASettings.LocalPath, file)) {
                stagedNeeded.push_back(&file);
                if (queued.insert(file.Sha256).second) wanted.push_back(&file);
            }
    }
    for (const TReleaseFile& file : plan.Assigned.Files)
        if (Installed(ASettings.LocalPath, file) && !InstalledAsSigned(ASettings.LocalPath, file) &&
            queued.insert(file.Sha256).second)
            wanted.push_back(&file);
    outcome.Wanted = wanted.size();

    uint64_t room = ASettings.StoreLimitBytes > outcome.Pruned.HeldBytes
                        ? ASettings.StoreLimitBytes - outcome.Pruned.HeldBytes
                        : 0;
    TRound round(ASource, AStore, ASettings, AControl, outcome);
    for (const TReleaseFile* file : wanted) {
        if (AStore.Holds({file->Name, file->Size, file->Sha256})) {
            ++outcome.Held;
            continue;
        }
        const uint64_t partial = std::min(AStore.PartialLength(file->Sha256), file->Size);
        if (file->Size - partial > room) {
            ++outcome.Skipped;
            continue;
        }
        room -= file->Size - partial;
        switch (round.Fetch(*file)) {
            case TObjectResult::Fetched:
                ++outcome.Fetched;
                continue;
            case TObjectResult::Failed:
                ++outcome.Failed;
                break;
            case TObjectResult::Altered:
                ++outcome.Altered;
                break;
            case TObjectResult::Cancelled:
                outcome.Cancelled = true;
                break;
        }
        if (outcome.Cancelled) break;
    }
    if (plan.Staged) {
        outcome.StagedComplete =
            std::all_of(stagedNeeded.begin(), stagedNeeded.end(), [&](const TReleaseFile* f) {
                return AStore.Holds({f->Name, f->Size, f->Sha256});
            });
    }
    outcome.Milliseconds = GetTickCount64() - started;
    return outcome;
}
