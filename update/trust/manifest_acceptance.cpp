#include "update/trust/manifest_acceptance.h"

#include <windows.h>

#include "base/string_convert.h"
#include "update/trust/publisher_key.h"

namespace {

int64_t UtcNowUnix() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000u) - 11644473600;
}

}  // namespace

TAcceptance AcceptManifest(const TUpdateVerification& AVerification, const TManifestBytes& ABytes) {
    TAcceptance result;
    if (!ABytes.Manifest || !ABytes.Signature) {
        result.Refusal = TRefusal::MissingManifest;
        result.Detail = ABytes.Missing;
        return result;
    }
    std::optional<TPublisherKey> key;
    try {
        key.emplace(WideToUtf8(AVerification.PublisherKey));
    } catch (const std::exception& e) {
        result.Refusal = TRefusal::InvalidKey;
        result.Detail = e.what();
        return result;
    }
    if (!key->Verifies(*ABytes.Manifest, *ABytes.Signature)) {
        result.Refusal = TRefusal::BadSignature;
        return result;
    }
    TReleaseManifest manifest;
    try {
        manifest = DecodeReleaseManifest(*ABytes.Manifest);
        result.Files = TManifestIndex(manifest);
    } catch (const std::exception& e) {
        result.Refusal = TRefusal::MalformedManifest;
        result.Detail = e.what();
        return result;
    }
    const TAcceptedSerial serial(AVerification.SerialKey);
    const std::optional<uint64_t> highest = serial.Highest();
    result.Refusal = JudgeManifest(manifest, UtcNowUnix(), highest);
    if (result.Refusal == TRefusal::Expired) {
        result.Detail = "expirou em " + UtcText(manifest.ExpiresUnix);
    } else if (result.Refusal == TRefusal::OlderRelease) {
        result.Detail =
            "série " + std::to_string(manifest.Serial) + ", já aceita a série " + std::to_string(*highest);
    }
    if (!result.Accepted()) {
        result.Files = {};
        return result;
    }
    serial.Raise(manifest.Serial);
    result.Manifest = std::move(manifest);
    return result;
}
