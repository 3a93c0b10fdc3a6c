#include "update/trust/content_verifier.h"

#include "base/error.h"

TContentVerifier::TContentVerifier(const TManifestFile& AExpected) : FExpected(AExpected) {}

void TContentVerifier::Refuse(const char* AWhy) {
    FAltered = true;
    throw Error(FExpected.Name + ": " + AWhy, TErrorCategory::Altered);
}

void TContentVerifier::Begin(uint64_t AOffset, std::optional<uint64_t> ATotal) {
    if (AOffset == 0) {
        FHasher.Restart();
        FReceived = 0;
    } else if (AOffset != FReceived) {
        // A resumed transfer whose first part this hash has not seen (or has seen more of) cannot be
        // vouched for.
        throw Error(FExpected.Name + ": a resumed fetch that cannot be verified", TErrorCategory::Fetch);
    }
    if (ATotal && *ATotal != FExpected.Size) Refuse("size differs from the signed manifest");
}

void TContentVerifier::Received(const char* AData, size_t ASize) {
    if (ASize > FExpected.Size - FReceived) Refuse("longer than the signed manifest lists");
    FHasher.Update(AData, ASize);
    FReceived += ASize;
}

void TContentVerifier::Finish() {
    if (FReceived != FExpected.Size) Refuse("shorter than the signed manifest lists");
    if (FHasher.Finish() != FExpected.Sha256) Refuse("content differs from the signed manifest");
}
