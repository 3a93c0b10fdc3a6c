#include "update/plan/release_plan.h"

#include <windows.h>

#include <algorithm>
#include <utility>

#include "base/string_convert.h"
#include "update/disk/file_ages.h"
#include "update/disk/file_keys.h"
#include "update/plan/rollout_number.h"
#include "update/source/signed_document.h"
#include "update/source/update_source.h"
#include "update/state/accepted_state.h"
#include "update/trust/signed_judgement.h"

namespace {

// Far above real documents (a manifest or a release lists about 150 bytes a file), far below what
// could hurt the workstation.
constexpr uint64_t kManifestLimit = 4u << 20;
constexpr uint64_t kRolloutLimit = 1u << 20;
constexpr uint64_t kReleaseLimit = 4u << 20;
constexpr uint64_t kSignatureLimit = 4096;

int64_t UtcNowUnix() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000u) - 11644473600;
}

std::string ReleasePath(uint64_t ASerial, std::string_view AExtension) {
    return std::string(kReleasesFolderName) + "\\" + std::to_string(ASerial) + std::string(AExtension);
}

std::wstring SourceName(std::string_view APath) {
    std::wstring name = Utf8ToWide(APath);
    std::replace(name.begin(), name.end(), L'/', L'\\');
    return name;
}

// One resolution: the settings, the source and what this installation accepted before.
class TResolution {
  public:
    TResolution(const TUpdateVerification& AVerification, IUpdateSource& ASource)
        : FVerification(AVerification), FSource(ASource), FAccepted(AVerification.SerialKey) {
        FRollout.Ring = Utf8ToWide(AVerification.Ring);
    }

    TReleasePlan Resolve() {
        const std::optional<uint64_t> highest = FAccepted.Highest(TAcceptedDocument::Rollout);
        const TSignedDocumentBytes bytes = ReadSignedDocument(FSource, kRolloutFileName, kRolloutLimit,
                                                              kRolloutSignatureFileName, kSignatureLimit);
        if (!bytes.Document) {
            // A server without release control is updated from its flat folder, unless this
            // workstation has followed a rollout document already.
            if (!highest) return FlatFolder();
            return Refused(TRefusal::MissingManifest, bytes.Missing, TPlanStage::Rollout);
        }
        if (!bytes.Signature) return Refused(TRefusal::MissingManifest, bytes.Missing, TPlanStage::Rollout);
        if (!ImportKey()) return Refused(TRefusal::InvalidKey, FKeyError, TPlanStage::Rollout);
        TJudged<TRollout> rollout =
            JudgeSignedRollout(*FKey, *bytes.Document, *bytes.Signature, UtcNowUnix(), highest);
        if (!rollout.Accepted()) return Refused(rollout.Refusal, rollout.Detail, TPlanStage::Rollout);
        FRollout.RolloutSerial = rollout.Document.Serial;

        const TRingAssignment* entry = RingEntry(rollout.Document, FVerification.Ring);
        if (!entry) {
            // Neither this ring nor "geral" is named: the flat folder applies, as without a document.
            FAccepted.Raise(TAcceptedDocument::Rollout, rollout.Document.Serial);
            return FlatFolder();
        }
        // The number is drawn for the release being rolled out in the ring that governs this one.
        const unsigned number =
            WorkstationRolloutNumber(FVerification.MachineValue, entry->Ring, entry->Release);
        FRollout.Number = number;
        const std::optional<uint64_t> assigned =
            AssignedRelease(rollout.Document, FVerification.Ring, number);
        if (!assigned)
            return Refused(TRefusal::MalformedManifest, "nenhuma versão atribuída", TPlanStage::Rollout);

        const TSignedDocumentBytes release =
            ReadSignedDocument(FSource, ReleasePath(*assigned, ".json"), kReleaseLimit,
                               ReleasePath(*assigned, ".sig"), kSignatureLimit);
        if (!release.Complete())
            return Refused(TRefusal::MissingManifest, release.Missing, TPlanStage::Rollout);
        TJudged<TRelease> judged =
            JudgeSignedRelease(*FKey, *release.Document, *release.Signature, *assigned);
        if (!judged.Accepted()) return Refused(judged.Refusal, judged.Detail, TPlanStage::Rollout);
        TReleasePlan plan = TReleasePlan::OfRelease(judged.Document);
        // Remembered only once the release is taken too.
        FAccepted.Raise(TAcceptedDocument::Rollout, rollout.Document.Serial);
        FRollout.Release = judged.Document.Serial;
        plan.Rollout = FRollout;
        return plan;
    }

    // A failure outside the rules (the store refusing a write, a name the platform cannot map).
    TReleasePlan Failed(const std::string& AWhy, TPlanStage AStage) {
        return Refused(TRefusal::MalformedManifest, AWhy, AStage);
    }
    TPlanStage Stage() const { return FStage; }

  private:
    TReleasePlan FlatFolder() {
        FStage = TPlanStage::Manifest;
        const TSignedDocumentBytes bytes = ReadSignedDocument(FSource, kManifestFileName, kManifestLimit,
                                                              kManifestSignatureFileName, kSignatureLimit);
        if (!bytes.Complete()) return Refused(TRefusal::MissingManifest, bytes.Missing, TPlanStage::Manifest);
        if (!ImportKey()) return Refused(TRefusal::InvalidKey, FKeyError, TPlanStage::Manifest);
        TJudged<TReleaseManifest> manifest =
            JudgeSignedManifest(*FKey, *bytes.Document, *bytes.Signature, UtcNowUnix(),
                                FAccepted.Highest(TAcceptedDocument::Manifest));
        if (!manifest.Accepted()) return Refused(manifest.Refusal, manifest.Detail, TPlanStage::Manifest);
        TReleasePlan plan;
        try {
            plan = TReleasePlan::OfManifest(manifest.Document);
        } catch (const TManifestError& e) {
            return Refused(TRefusal::MalformedManifest, e.what(), TPlanStage::Manifest);
        }
        FAccepted.Raise(TAcceptedDocument::Manifest, manifest.Document.Serial);
        plan.Rollout = FRollout;
        return plan;
    }

    bool ImportKey() {
        if (FKey) return true;
        try {
            FKey.emplace(WideToUtf8(FVerification.PublisherKey));
            return true;
        } catch (const std::exception& e) {
            FKeyError = e.what();
            return false;
        }
    }

    TReleasePlan Refused(TRefusal ARefusal, std::string ADetail, TPlanStage AStage) {
        TReleasePlan plan = TReleasePlan::Refused(ARefusal, std::move(ADetail), AStage);
        plan.Rollout = FRollout;
        return plan;
    }

    const TUpdateVerification& FVerification;
    IUpdateSource& FSource;
    const TAcceptedState FAccepted;
    TRolloutState FRollout;
    TPlanStage FStage = TPlanStage::Rollout;
    std::optional<TPublisherKey> FKey;
    std::string FKeyError;
};

}  // namespace

TReleasePlan TReleasePlan::OfManifest(const TReleaseManifest& AManifest) {
    TReleasePlan plan;
    plan.FVerified = true;
    for (const TManifestFile& file : AManifest.Files) {
        const std::wstring name = Utf8ToWide(file.Name);
        plan.Add({name, name, file, std::nullopt});
    }
    return plan;
}

TReleasePlan TReleasePlan::OfRelease(const TRelease& ARelease) {
    TReleasePlan plan;
    plan.FVerified = true;
    plan.FFromRelease = true;
    for (const TReleaseFile& file : ARelease.Files) {
        std::optional<TDeflatedObject> deflated;
        if (file.DeflatedSize) deflated = TDeflatedObject{*file.DeflatedSize, file.Size};
        plan.Add({Utf8ToWide(file.Name), SourceName(ObjectPath(file.Sha256)),
                  TManifestFile{file.Name, file.Size, file.Sha256}, UnixToAge(file.AgeUnix), deflated});
    }
    return plan;
}

TReleasePlan TReleasePlan::Refused(TRefusal ARefusal, std::string ADetail, TPlanStage AStage) {
    TReleasePlan plan;
    plan.FRefusal = ARefusal;
    plan.FDetail = std::move(ADetail);
    plan.FStage = AStage;
    plan.FVerified = true;
    return plan;
}

void TReleasePlan::Add(TPlannedFile AFile) {
    if (!FByKey.try_emplace(FileKey(AFile.Name), FFiles.size()).second)
        throw TManifestError("the name \"" + WideToUtf8(AFile.Name) + "\" is listed twice");
    FFiles.push_back(std::move(AFile));
}

std::optional<TPlannedFile> TReleasePlan::Find(std::wstring_view AName) const {
    if (!FVerified) return TPlannedFile{std::wstring(AName), std::wstring(AName), std::nullopt, std::nullopt};
    if (!Accepted()) return std::nullopt;
    const auto found = FByKey.find(FileKey(AName));
    if (found == FByKey.end()) return std::nullopt;
    return FFiles[found->second];
}

TReleasePlan PlanRelease(const TUpdateVerification& AVerification, IUpdateSource& ASource) {
    if (!AVerification.Enabled()) return {};
    TResolution resolution(AVerification, ASource);
    try {
        return resolution.Resolve();
    } catch (const std::exception& e) {
        return resolution.Failed(e.what(), resolution.Stage());
    }
}
