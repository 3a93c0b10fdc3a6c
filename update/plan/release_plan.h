#pragma once
// The one resolver of what may be taken from a source: which file, from which signed document,
// checked how. The files updater, the self-update and the support tools all ask it, so that a name
// means the same file to each of them (the file system's rule, update/disk/file_keys.h) and every
// file they write is checked against the same entry. Opt-in twice over: without a publisher key
// nothing is verified; with one, a rollout document on the server (release control) assigns a
// release, and without one the flat folder's manifest applies. Runs on the UI thread.
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/date_time.h"
#include "update/plan/fetch_into_file.h"
#include "update/plan/update_verification.h"
#include "update/trust/manifest_rules.h"
#include "update/trust/release_documents.h"
#include "update/trust/rollout_state.h"

class IUpdateSource;

// One file as the plan resolved it.
struct TPlannedFile {
    std::wstring Name;        // as the signed document (or, unverified, the caller) names it
    std::wstring RemoteName;  // what the source serves its content under: the name, or a release's object
    std::optional<TManifestFile> Expected;  // the content it must have; none when nothing is verified
    std::optional<TDateTime> Age;           // the age a release gives it; none: the source's own
    // The release's deflated object of the same content (RemoteName + ".deflate"); none: plain only.
    std::optional<TDeflatedObject> Deflated = std::nullopt;
    std::vector<TFilePatch> Patches = {};  // a release's patches to it from older versions
};

// Which document a refusal came from: release control, or the flat folder's manifest.
enum class TPlanStage { Rollout, Manifest };

class TReleasePlan {
  public:
    // Nothing verified: every name stands for the source's file of that name.
    TReleasePlan() = default;
    // The files of an accepted document. Raise TManifestError when two of its names are one file
    // under the rule: there is no telling which one is meant.
    static TReleasePlan OfManifest(const TReleaseManifest& AManifest);
    static TReleasePlan OfRelease(const TRelease& ARelease);
    static TReleasePlan Refused(TRefusal ARefusal, std::string ADetail, TPlanStage AStage);

    bool Accepted() const { return FRefusal == TRefusal::None; }
    TRefusal Refusal() const { return FRefusal; }
    const std::string& Detail() const { return FDetail; }
    TPlanStage RefusedAt() const { return FStage; }
    // Whether a signed document governs: only the files it names may be taken, each checked.
    bool Verified() const { return FVerified; }
    // Whether the files come from a release assigned by release control (not the flat folder).
    bool FromRelease() const { return FFromRelease; }

    // The file a name stands for; nothing when a signed document governs and does not name it.
    std::optional<TPlannedFile> Find(std::wstring_view AName) const;
    // The signed files in the document's order; empty when nothing is verified.
    const std::vector<TPlannedFile>& Files() const { return FFiles; }

    // Where release control placed the workstation, for the IT log and the fleet report.
    TRolloutState Rollout;

  private:
    void Add(TPlannedFile AFile);

    TRefusal FRefusal = TRefusal::None;
    std::string FDetail;
    TPlanStage FStage = TPlanStage::Rollout;
    bool FVerified = false;
    bool FFromRelease = false;
    std::vector<TPlannedFile> FFiles;
    std::unordered_map<std::wstring, size_t> FByKey;  // file key -> index in FFiles
};

// Resolves what the source offers this workstation: reads the signed documents through the source,
// has trust judge them with the configured key, the UTC clock and what this installation accepted
// before, and records what it accepted. A workstation that has followed a rollout document once
// refuses a server without one: hiding the document must not bring back the flat folder's older
// files. With a trust root (the anchor of TUpdateVerification::RootAnchor, a root this installation
// accepted, or a first version the publisher key signed) the root is followed to its newest version
// first, and every document is judged by the keys that version certifies instead of the configured
// key (update/trust/certified_judgement.h). Never raises: whatever goes wrong while accepting a release is a
// refusal, and a refusal leaves the installed files (and the module they start) as they are.
TReleasePlan PlanRelease(const TUpdateVerification& AVerification, IUpdateSource& ASource);

// What the background fetch of this workstation's ring wants (update/plan/staged_fetch.h): the
// releases the ring's entry names for it, each signed and checked as PlanRelease checks the one it
// installs. Accepted: the rollout document and the assigned release were accepted; a staged release
// that is refused leaves Staged empty and says why in StagedDetail.
struct TStagingPlan {
    bool Accepted = false;
    std::string Detail;  // why not, when not accepted
    uint64_t RolloutSerial = 0;
    TRelease Assigned;                 // what a click installs now
    std::optional<TRelease> Previous;  // what the ring's entry keeps for the rest, or had before
    std::optional<TRelease> Staged;    // what the ring fetches ahead of its switch
    std::string StagedDetail;          // why a staged release named was not taken
};

// Reads the rollout document and the releases it names for this workstation through ASource, and
// judges them with the configured key, the UTC clock and the highest serial accepted before; records
// nothing (the update that installs a release does). Never raises. Any thread.
TStagingPlan PlanStaging(const TUpdateVerification& AVerification, IUpdateSource& ASource);
