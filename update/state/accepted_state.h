#pragma once
// What this installation has accepted, by kind of signed document: the highest serial of each,
// which only rises, and the SHA-256 of the bytes accepted under it. The plan reads it before trust
// decides and raises it once a document is taken.
//
// It belongs to the installation, not to one Windows user: every user of a shared workstation runs
// the same program folder, so a user who never ran the launcher must not accept what another user's
// launcher already left behind. It is kept in the program folder's state file
// (update/state/accepted_state_text.h), written as the installed files are (a temporary beside it,
// flushed, renamed over it). Earlier launchers kept the serials in the user's registry
// (update/state/accepted_serial.h): found there, they are merged into the file (the higher serial
// wins) and removed from the registry, so that later only the file decides. A program folder this
// user may not write keeps the raises in the user's registry instead (the IT log says so), and they
// join the file at the next run that can write it.
#include <cstdint>
#include <optional>
#include <string>

#include "update/state/accepted_serial.h"
#include "update/state/accepted_state_text.h"

// The documents that number their signings independently.
enum class TAcceptedDocument {
    Manifest,  // the flat folder's manifest
    Rollout,   // the rollout document
    Root,      // the trust root: its version, and the SHA-256 of that version's document
};

class TAcceptedState {
  public:
    // Reads the state once. AStateFile: the installation's state file (the launcher: its folder's
    // kAcceptedStateFileName); empty: none, the serials stay in the user's registry alone, as
    // earlier launchers kept them. ARegistryKey: under HKEY_CURRENT_USER, where earlier launchers
    // kept the serials (kSerialRegistryKey).
    explicit TAcceptedState(std::wstring AStateFile, std::wstring ARegistryKey = kSerialRegistryKey);

    // From now on the serials of manifests and rollout documents are those accepted under the trust
    // root's serial epoch AEpoch: each epoch keeps its own ("rollout" under epoch 0, as without a
    // root; "rollout@2" under 2), so a new epoch starts at its floor without lowering what an
    // earlier epoch accepted (a stolen key's serial 2^62 stays behind with the epoch it froze).
    void FollowEpoch(uint64_t AEpoch, uint64_t ASerialFloor);

    // Under an epoch that has accepted nothing yet, while an earlier one has: the epoch's floor.
    std::optional<TAcceptedSigning> Accepted(TAcceptedDocument ADocument) const;
    std::optional<uint64_t> Highest(TAcceptedDocument ADocument) const;
    // Remembers a document taken: a higher serial, or the bytes of the serial accepted when they were
    // not known yet. Raises when neither the state file nor the user's registry takes the write: an
    // acceptance that cannot be remembered would let the next rollback through.
    void Raise(TAcceptedDocument ADocument, uint64_t ASerial, const TSha256& ASha256);

    // The deployment this installation's documents under the root were published for; empty until
    // the first one is accepted.
    const std::string& Deployment() const { return FDeployment; }
    // Keeps ADeployment as the installation's deployment, once: a deployment already kept (by this
    // run or another launcher of the installation) stays. Raises when the state file cannot be
    // written, as for the root: a binding that is not remembered would bind nothing.
    void KeepDeployment(const std::string& ADeployment);

  private:
    // Writes the record, merged with what the file holds now; false (logged) when the file cannot
    // be written.
    bool StoreInFile();
    void StoreInRegistry() const;
    TAcceptedSerial RegistrySerial(TAcceptedDocument ADocument) const;

    // "rollout", or "rollout@2" under epoch 2.
    std::string KindOf(TAcceptedDocument ADocument) const;

    const std::wstring FStateFile;
    const std::wstring FRegistryKey;
    TAcceptedRecord FRecord;
    std::string FDeployment;
    uint64_t FEpoch = 0;
    uint64_t FSerialFloor = 0;
};
