#pragma once
// Checks one fetch against its entry in the accepted manifest while the content streams in: SHA-256
// computed piece by piece (no second pass over the file), the length counted, and a body that runs
// past the listed size ended at once, so that a server sending without end costs neither disk nor
// time. Runs on the fetching thread; one verifier per fetch.
#include <cstdint>
#include <optional>
#include <string>

#include "update/trust/cng.h"
#include "update/stream/fetch_observer.h"

class TContentVerifier final : public IFetchObserver {
  public:
    explicit TContentVerifier(const TManifestFile& AExpected);

    void Begin(uint64_t AOffset, std::optional<uint64_t> ATotal) override;
    void Received(const char* AData, size_t ASize) override;
    // Once the transport reports the fetch complete, before the swap: raises unless exactly the
    // listed bytes arrived.
    void Finish();

    // Whether the content, not the transport, failed the check: the file differs from the release.
    bool Altered() const { return FAltered; }

  private:
    [[noreturn]] void Refuse(const char* AWhy);

    TManifestFile FExpected;
    TSha256Hasher FHasher;
    uint64_t FReceived = 0;
    bool FAltered = false;
};
