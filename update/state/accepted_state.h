#pragma once
// What this installation has accepted, by kind of signed document: the highest serial of each,
// which only rises. The plan reads it before trust decides and raises it once a document is taken;
// where it is kept (today the user's registry, update/state/accepted_serial.h) is this layer's
// business alone.
#include <cstdint>
#include <optional>
#include <string>

#include "update/state/accepted_serial.h"

// The documents that number their signings independently.
enum class TAcceptedDocument {
    Manifest,  // the flat folder's manifest
    Rollout,   // the rollout document
};

class TAcceptedState {
  public:
    // ASubKey: under HKEY_CURRENT_USER; the launcher uses kSerialRegistryKey.
    explicit TAcceptedState(std::wstring ASubKey = kSerialRegistryKey);

    std::optional<uint64_t> Highest(TAcceptedDocument ADocument) const;
    // Raises when the store refuses the write: an acceptance that cannot be remembered would let
    // the next rollback through.
    void Raise(TAcceptedDocument ADocument, uint64_t ASerial) const;

  private:
    TAcceptedSerial SerialOf(TAcceptedDocument ADocument) const;

    std::wstring FSubKey;
};
