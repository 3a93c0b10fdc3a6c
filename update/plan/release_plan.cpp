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
#include "update/trust/certified_judgement.h"
#include "update/trust/cng.h"
#include "update/trust/cng_signature_check.h"
#include "update/trust/document_text.h"
#include "update/trust/root_rules.h"
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

// What a root refusal is to the user: the present messages, by the nearest reason.
TRefusal RefusalOfRoot(TRootRefusal ARefusal) {
    switch (ARefusal) {
        case TRootRefusal::Expired:
            return TRefusal::Expired;
        case TRootRefusal::Replayed:
            return TRefusal::OlderRelease;
        case TRootRefusal::TooLarge:
        case TRootRefusal::Malformed:
            return TRefusal::MalformedManifest;
        default:
            return TRefusal::BadSignature;
    }
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
        : FVerification(AVerification),
          FSource(ASource),
          FAccepted(AVerification.StateFile, AVerification.SerialKey) {
        FRollout.Ring = Utf8ToWide(AVerification.Ring);
        FDeployment = !AVerification.Deployment.empty() ? AVerification.Deployment : FAccepted.Deployment();
    }

    TReleasePlan Resolve() {
        if (!FollowRoot(true)) return Refused(FRootRefusal, FRootDetail, TPlanStage::Rollout);
        const std::optional<TAcceptedSigning> highest = FAccepted.Accepted(TAcceptedDocument::Rollout);
        const TSignedDocumentBytes bytes = ReadSignedDocument(FSource, kRolloutFileName, kRolloutLimit,
                                                              kRolloutSignatureFileName, kSignatureLimit);
        if (!bytes.Document) {
            // A server without release control is updated from its flat folder, unless this
            // workstation has followed a rollout document already.
            if (!highest) return FlatFolder();
            return Refused(TRefusal::MissingManifest, bytes.Missing, TPlanStage::Rollout);
        }
        if (!bytes.Signature) return Refused(TRefusal::MissingManifest, bytes.Missing, TPlanStage::Rollout);
        if (!MigrateFor(*bytes.Document, DecodeRollout, true))
            return Refused(FRootRefusal, FRootDetail, TPlanStage::Rollout);
        if (!KeyReady()) return Refused(TRefusal::InvalidKey, FKeyError, TPlanStage::Rollout);
        TJudged<TRollout> rollout = JudgeRollout(*bytes.Document, *bytes.Signature, highest);
        if (!rollout.Accepted()) return Refused(rollout.Refusal, rollout.Detail, TPlanStage::Rollout);
        FRollout.RolloutSerial = rollout.Document.Serial;
        Bind(rollout.Document.Deployment);

        const TRingAssignment* entry = RingEntry(rollout.Document, FVerification.Ring);
        if (!entry) {
            // Neither this ring nor "geral" is named: the flat folder applies, as without a document.
            KeepDeployment();
            FAccepted.Raise(TAcceptedDocument::Rollout, rollout.Document.Serial, rollout.Sha256);
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
            JudgeRelease(*release.Document, *release.Signature, *assigned,
                         AssignedReleasePin(rollout.Document, FVerification.Ring, number));
        if (!judged.Accepted()) return Refused(judged.Refusal, judged.Detail, TPlanStage::Rollout);
        TReleasePlan plan = TReleasePlan::OfRelease(judged.Document);
        // Remembered only once the release is taken too.
        KeepDeployment();
        FAccepted.Raise(TAcceptedDocument::Rollout, rollout.Document.Serial, rollout.Sha256);
        FRollout.Release = judged.Document.Serial;
        plan.Rollout = FRollout;
        return plan;
    }

    TStagingPlan ResolveStaging() {
        TStagingPlan plan;
        const TSignedDocumentBytes bytes = ReadSignedDocument(FSource, kRolloutFileName, kRolloutLimit,
                                                              kRolloutSignatureFileName, kSignatureLimit);
        if (!FollowRoot(false)) return NotStaging(plan, FRootDetail);
        if (!bytes.Complete()) return NotStaging(plan, bytes.Missing);
        if (!MigrateFor(*bytes.Document, DecodeRollout, false)) return NotStaging(plan, FRootDetail);
        if (!KeyReady()) return NotStaging(plan, FKeyError);
        TJudged<TRollout> rollout =
            JudgeRollout(*bytes.Document, *bytes.Signature, FAccepted.Highest(TAcceptedDocument::Rollout));
        if (!rollout.Accepted()) return NotStaging(plan, rollout.Detail);
        Bind(rollout.Document.Deployment);
        plan.RolloutSerial = rollout.Document.Serial;
        const TRingAssignment* entry = RingEntry(rollout.Document, FVerification.Ring);
        if (!entry) return NotStaging(plan, "nenhum anel se aplica");
        const unsigned number =
            WorkstationRolloutNumber(FVerification.MachineValue, entry->Ring, entry->Release);
        const std::optional<uint64_t> assigned =
            AssignedRelease(rollout.Document, FVerification.Ring, number);
        if (!assigned) return NotStaging(plan, "nenhuma versão atribuída");
        std::string why;
        std::optional<TRelease> taken = JudgedRelease(*assigned, std::nullopt, why);
        if (!taken) return NotStaging(plan, why);
        plan.Assigned = std::move(*taken);
        // The other release of the entry: what the rest of the ring takes, or what it is left behind.
        const uint64_t other = *assigned == entry->Release ? entry->Previous.value_or(0) : entry->Release;
        if (other != 0) plan.Previous = JudgedRelease(other, std::nullopt, why);
        if (entry->Staged && *entry->Staged != *assigned) {
            plan.Staged = JudgedRelease(*entry->Staged, entry->StagedSha256, plan.StagedDetail);
        }
        plan.Accepted = true;
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
        if (!MigrateFor(*bytes.Document, DecodeReleaseManifest, true))
            return Refused(FRootRefusal, FRootDetail, TPlanStage::Manifest);
        if (!KeyReady()) return Refused(TRefusal::InvalidKey, FKeyError, TPlanStage::Manifest);
        TJudged<TReleaseManifest> manifest =
            FRoot ? JudgeCertifiedManifest(*FRoot, *bytes.Document, *bytes.Signature, UtcNowUnix(),
                                           FAccepted.Accepted(TAcceptedDocument::Manifest), FDeployment)
                  : JudgeSignedManifest(*FKey, *bytes.Document, *bytes.Signature, UtcNowUnix(),
                                        FAccepted.Accepted(TAcceptedDocument::Manifest));
        if (!manifest.Accepted()) return Refused(manifest.Refusal, manifest.Detail, TPlanStage::Manifest);
        TReleasePlan plan;
        try {
            plan = TReleasePlan::OfManifest(manifest.Document);
        } catch (const TManifestError& e) {
            return Refused(TRefusal::MalformedManifest, e.what(), TPlanStage::Manifest);
        }
        Bind(manifest.Document.Deployment);
        KeepDeployment();
        FAccepted.Raise(TAcceptedDocument::Manifest, manifest.Document.Serial, manifest.Sha256);
        plan.Rollout = FRollout;
        return plan;
    }

    static TStagingPlan NotStaging(TStagingPlan& APlan, std::string ADetail) {
        APlan.Accepted = false;
        APlan.Detail = std::move(ADetail);
        return std::move(APlan);
    }

    // A release read and judged; with ADocumentSha256, its document's bytes must have that hash.
    std::optional<TRelease> JudgedRelease(uint64_t ASerial, const std::optional<TSha256>& ADocumentSha256,
                                          std::string& AWhy) {
        const TSignedDocumentBytes release =
            ReadSignedDocument(FSource, ReleasePath(ASerial, ".json"), kReleaseLimit,
                               ReleasePath(ASerial, ".sig"), kSignatureLimit);
        if (!release.Complete()) {
            AWhy = release.Missing;
            return std::nullopt;
        }
        if (ADocumentSha256 && Sha256Of(*release.Document) != *ADocumentSha256) {
            AWhy = "versão " + std::to_string(ASerial) + " difere da preparada";
            return std::nullopt;
        }
        TJudged<TRelease> judged = JudgeRelease(*release.Document, *release.Signature, ASerial, std::nullopt);
        if (!judged.Accepted()) {
            AWhy = judged.Detail;
            return std::nullopt;
        }
        return std::move(judged.Document);
    }

    TJudged<TRollout> JudgeRollout(std::string_view ADocument, std::string_view ASignature,
                                   const std::optional<TAcceptedSigning>& AAccepted) {
        if (FRoot)
            return JudgeCertifiedRollout(*FRoot, ADocument, ASignature, UtcNowUnix(), AAccepted, FDeployment);
        return JudgeSignedRollout(*FKey, ADocument, ASignature, UtcNowUnix(), AAccepted);
    }

    TJudged<TRelease> JudgeRelease(std::string_view ADocument, std::string_view ASignature,
                                   uint64_t AAssigned, std::optional<TSha256> APin) {
        if (FRoot)
            return JudgeCertifiedRelease(*FRoot, ADocument, ASignature, AAssigned, UtcNowUnix(), APin,
                                         FDeployment);
        return JudgeSignedRelease(*FKey, ADocument, ASignature, AAssigned, APin);
    }

    // Under a root, the first document accepted binds the rest of the resolution to its deployment
    // when neither the settings nor the state named one.
    void Bind(const std::string& ADeployment) {
        if (FRoot && FDeployment.empty()) FDeployment = ADeployment;
    }

    // Remembers the deployment of what is being accepted, unless the settings name it (IT's value
    // governs, and stays the judge if it is changed later).
    void KeepDeployment() {
        if (FRoot && FVerification.Deployment.empty()) FAccepted.KeepDeployment(FDeployment);
    }

    // Under a root the root's keys judge; without one the configured key.
    bool KeyReady() { return FRoot || ImportKey(); }

    // AAbsent: the source answered that it holds no such version.
    std::optional<TRootVersionBytes> ReadRootVersion(uint64_t AVersion, std::string& AMissing,
                                                     bool* AAbsent = nullptr) {
        TSignedDocumentBytes bytes =
            ReadSignedDocument(FSource, RootDocumentPath(AVersion), kMostRootDocumentSize,
                               RootSignaturesPath(AVersion), kMostRootSignaturesSize);
        if (!bytes.Complete()) {
            AMissing = bytes.Missing;
            if (AAbsent) *AAbsent = bytes.DocumentAbsent;
            return std::nullopt;
        }
        return TRootVersionBytes{std::move(*bytes.Document), std::move(*bytes.Signature)};
    }

    bool RefuseRoot(TRefusal ARefusal, std::string ADetail) {
        FRootRefusal = ARefusal;
        FRootDetail = std::move(ADetail);
        return false;
    }
    bool RefuseRoot(const TRootJudged& AJudged) {
        return RefuseRoot(
            RefusalOfRoot(AJudged.Refusal),
            std::string("raiz: ") + RootRefusalText(AJudged.Refusal) + " (" + AJudged.Detail + ")");
    }

    // The root this installation starts from: the version it accepted last, else the one Raiz names,
    // else a first version the publisher's key signed. Nothing (and true): no root, as before roots.
    std::optional<TRootJudged> StartingRoot(const ISignatureCheck& ACheck, bool AMigrate, bool& AOk) {
        AOk = true;
        std::string missing;
        const std::optional<TAcceptedSigning> held = FAccepted.Accepted(TAcceptedDocument::Root);
        if (held && held->Sha256) {
            // Served no longer: hiding the root must not bring back what it revoked.
            const std::optional<TRootVersionBytes> bytes = ReadRootVersion(held->Serial, missing);
            if (!bytes) {
                AOk = RefuseRoot(TRefusal::MissingManifest, missing);
                return std::nullopt;
            }
            FStartSha256 = *held->Sha256;
            return JudgeAnchoredRoot(ACheck, *held->Sha256, *bytes);
        }
        if (!FVerification.RootAnchor.empty()) {
            TSha256 anchor{};
            try {
                anchor = document_text::Sha256From(FVerification.RootAnchor);
            } catch (const std::exception& e) {
                AOk = RefuseRoot(TRefusal::InvalidKey, std::string("Raiz: ") + e.what());
                return std::nullopt;
            }
            // The anchor names a document, not its version: the versions are read from the first
            // until that document, within the bound of one update's walk.
            for (uint64_t version = 1; version <= kMostRootVersionsPerUpdate; ++version) {
                std::optional<TRootVersionBytes> bytes = ReadRootVersion(version, missing);
                if (!bytes) break;
                if (Sha256Of(bytes->Document) != anchor) continue;
                FStartSha256 = anchor;
                return JudgeAnchoredRoot(ACheck, anchor, *bytes);
            }
            AOk = RefuseRoot(TRefusal::MissingManifest, "raiz " + document_text::HexOf(anchor).substr(0, 16) +
                                                            " não encontrada no servidor");
            return std::nullopt;
        }
        // The migration from one key: a first version that key signed. Anything else leaves the
        // workstation on its key, as before roots.
        if (!AMigrate) return std::nullopt;
        TPublicPoint key{};
        try {
            key = DecodePublisherKey(WideToUtf8(FVerification.PublisherKey));
        } catch (const std::exception&) {
            return std::nullopt;
        }
        const std::optional<TRootVersionBytes> bytes = ReadRootVersion(1, missing);
        if (!bytes) return std::nullopt;
        TRootJudged judged = JudgeRootSignedByKey(ACheck, key, *bytes);
        if (!judged.Accepted()) return std::nullopt;
        FStartSha256 = Sha256Of(bytes->Document);
        return judged;
    }

    // Follows the root from where this installation stands to the newest version the server holds,
    // and makes it the judge of every document. ARecord: remember the root accepted (the update that
    // installs does; the background fetch does not). False: refused (FRootRefusal, FRootDetail).
    bool FollowRoot(bool ARecord, bool AMigrate = false) {
        const TCngSignatureCheck check;
        bool ok = true;
        const std::optional<TRootJudged> start = StartingRoot(check, AMigrate, ok);
        if (!ok) return false;
        if (!start) return true;
        if (!start->Accepted()) return RefuseRoot(*start);
        // One more than an update walks, so that an endless chain is refused rather than cut.
        std::vector<TRootVersionBytes> next;
        std::string missing;
        for (uint64_t version = start->Root.Version + 1; next.size() <= kMostRootVersionsPerUpdate;
             ++version) {
            bool absent = false;
            std::optional<TRootVersionBytes> bytes = ReadRootVersion(version, missing, &absent);
            // Only a version the server says it does not hold ends the chain. One past the caps, or
            // one that could not be read (a timeout, a server error), may revoke what the older
            // versions certify: the update stops rather than trust them.
            if (!bytes && !absent) return RefuseRoot(TRefusal::MissingManifest, "raiz: " + missing);
            if (!bytes) break;
            next.push_back(std::move(*bytes));
        }
        const TRootJudged newest = JudgeRootChain(check, start->Root, next, UtcNowUnix());
        if (!newest.Accepted()) return RefuseRoot(newest);
        if (ARecord) {
            FAccepted.Raise(TAcceptedDocument::Root, newest.Root.Version,
                            next.empty() ? FStartSha256 : Sha256Of(next.back().Document));
        }
        FAccepted.FollowEpoch(newest.Root.Epoch, newest.Root.SerialFloor);
        FRoot = newest.Root;
        return true;
    }

    // A workstation on one key looks for a root only once the server's document names the key that
    // signed it (documents signed under a root do): a server without a root costs no request more.
    // False: the root found was refused.
    template <class TDecode>
    bool MigrateFor(std::string_view ADocument, TDecode ADecode, bool ARecord) {
        if (FRoot || FVerification.PublisherKey.empty()) return true;
        try {
            if (ADecode(ADocument).Key.empty()) return true;
        } catch (const std::exception&) {
            return true;  // judged, and refused, as before
        }
        return FollowRoot(ARecord, true);
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
    TAcceptedState FAccepted;
    TRolloutState FRollout;
    TPlanStage FStage = TPlanStage::Rollout;
    std::optional<TPublisherKey> FKey;
    std::string FKeyError;
    std::optional<TRootDocument> FRoot;  // the root in force; none: the configured key judges
    TSha256 FStartSha256{};              // of the starting version's document
    TRefusal FRootRefusal = TRefusal::None;
    std::string FRootDetail;
    std::string FDeployment;  // the deployment documents must name; empty: not bound yet
};

}  // namespace

TReleasePlan TReleasePlan::OfManifest(const TReleaseManifest& AManifest) {
    TReleasePlan plan;
    plan.FVerified = true;
    for (const TManifestFile& file : AManifest.Files) {
        const std::wstring name = Utf8ToWide(file.Name);
        plan.Add({name, name, file, std::nullopt, {}});
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
                  TManifestFile{file.Name, file.Size, file.Sha256}, UnixToAge(file.AgeUnix), deflated,
                  file.Patches});
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
    if (!FVerified)
        return TPlannedFile{std::wstring(AName), std::wstring(AName), std::nullopt, std::nullopt, {}};
    if (!Accepted()) return std::nullopt;
    const auto found = FByKey.find(FileKey(AName));
    if (found == FByKey.end()) return std::nullopt;
    return FFiles[found->second];
}

TStagingPlan PlanStaging(const TUpdateVerification& AVerification, IUpdateSource& ASource) {
    TStagingPlan plan;
    if (!AVerification.Enabled()) {
        plan.Detail = "sem chave do publicador";
        return plan;
    }
    try {
        TResolution resolution(AVerification, ASource);
        return resolution.ResolveStaging();
    } catch (const std::exception& e) {
        plan.Detail = e.what();
        return plan;
    }
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
