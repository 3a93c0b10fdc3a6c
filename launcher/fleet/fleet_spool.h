#pragma once
// The file where reports wait for the fleet service: every report goes in here first and leaves only
// once the service has taken it, so that a launcher that ends (or dies) while the service is silent
// loses nothing. Its text is a batch (see FleetBatchText): one report per line, at most one batch's
// worth, the oldest dropped first. It is replaced whole, through a temporary file renamed over it.
//
// Every launcher of the user shares it. One named lock guards each read-modify-write (held for a
// file's read and write, never across the network); a second one, the send claim, lets one process at
// a time send what is spooled, so that no report goes out twice.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/handles.h"

class TFleetSpool {
  public:
    explicit TFleetSpool(std::wstring APath);

    // Adds the reports after those waiting and trims to one batch. False when the lock was not had
    // within ALockWaitMs (nothing written) or the disk refused.
    bool Append(const std::vector<std::string>& AReports, DWORD ALockWaitMs);
    // The reports waiting, oldest first; none when the lock was not had, the file is missing,
    // unreadable or far larger than a batch.
    std::vector<std::string> Peek(DWORD ALockWaitMs);
    // Takes the sent reports out, keeping those added meanwhile.
    bool Remove(const std::vector<std::string>& ASent, DWORD ALockWaitMs);

    // The send claim: false at once when another launcher is sending. A claim whose holder ended
    // without releasing it is taken all the same.
    bool ClaimSending();
    void ReleaseSending();

    // Whether the service's last answer said it takes report format /2, as remembered beside the
    // spool (<spool>.formats) for every launcher of the user; false when nothing is remembered, so
    // that a launcher that never heard from the service writes /1.
    bool ServiceTakesFormat2() const;
    // Remembers the last answer's word; the holder of the send claim only.
    void RememberServiceTakesFormat2(bool ATakes) const;

    // The staged release a launcher of the user last found complete and when (FleetTime), as
    // remembered beside the spool (<spool>.staged), so that a later launcher reports the time it
    // became complete rather than its own start; none when nothing is remembered.
    std::pair<std::optional<uint64_t>, std::string> StagedSince() const;
    // Remembers it (none: forgets it).
    void RememberStagedSince(std::optional<uint64_t> ARelease, const std::string& ASince) const;

  private:
    bool Lock(DWORD ATimeoutMs);
    void Unlock();
    std::vector<std::string> Read() const;
    bool Write(const std::vector<std::string>& AReports) const;

    const std::wstring FPath;
    const unique_handle FFileLock;
    const unique_handle FSendClaim;
};
