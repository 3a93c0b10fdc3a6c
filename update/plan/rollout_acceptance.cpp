#include "update/plan/rollout_acceptance.h"

#include <windows.h>

#include <algorithm>

#include "base/string_convert.h"
#include "update/source/update_source.h"
#include "update/trust/cng.h"
#include "update/trust/publisher_key.h"

namespace {

// Far above real documents (a release lists about 150 bytes a file), far below what could hurt.
constexpr uint64_t kRolloutLimit = 1u << 20;
constexpr uint64_t kReleaseLimit = 4u << 20;
constexpr uint64_t kRolloutSignatureLimit = 4096;

int64_t UtcNowUnix() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000u) - 11644473600;
}

std::wstring SourceName(std::string_view APath) {
    std::wstring name = Utf8ToWide(APath);
    std::replace(name.begin(), name.end(), L'/', L'\\');
    return name;
}

std::string ReleasePath(uint64_t ASerial, std::string_view AExtension) {
    return std::string(kReleasesFolderName) + "\\" + std::to_string(ASerial) + std::string(AExtension);
}

// A document of the source, or nothing; the first that cannot be read names the reason in AMissing.
std::optional<std::string> ReadDocument(IUpdateSource& ASource, std::string_view AName, uint64_t ALimit,
                                        std::string& AMissing) {
    try {
        return ASource.Read(SourceName(AName), ALimit);
    } catch (const std::exception& e) {
        if (AMissing.empty()) AMissing = std::string(AName) + ": " + e.what();
        return std::nullopt;
    }
}

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

TRolloutAcceptance Refused(TRolloutAcceptance AResult, TRefusal ARefusal, std::string ADetail = {}) {
    AResult.Refusal = ARefusal;
    AResult.Detail = std::move(ADetail);
    AResult.Release.reset();
    return AResult;
}

}  // namespace

unsigned WorkstationRolloutNumber(const std::string& AMachine, const std::string& ARing, uint64_t ARelease) {
    return RolloutNumberFromDigest(Sha256Of(RolloutNumberInput(AMachine, ARing, ARelease)));
}

std::wstring ObjectName(const TReleaseFile& AFile) { return SourceName(ObjectPath(AFile.Sha256)); }

const TReleaseFile* FindReleaseFile(const TRelease& ARelease, std::string_view AName) {
    for (const TReleaseFile& file : ARelease.Files)
        if (SameIgnoringAsciiCase(file.Name, AName)) return &file;
    return nullptr;
}

TManifestFile ExpectedContent(const TReleaseFile& AFile) {
    return TManifestFile{AFile.Name, AFile.Size, AFile.Sha256};
}

TRolloutAcceptance AcceptRollout(const TUpdateVerification& AVerification, IUpdateSource& ASource) {
    TRolloutAcceptance result;
    result.State.Ring = Utf8ToWide(AVerification.Ring);
    const TAcceptedSerial acceptedSerial(AVerification.SerialKey, kRolloutSerialRegistryValue);
    const std::optional<uint64_t> highest = acceptedSerial.Highest();

    std::string missing;
    const std::optional<std::string> document =
        ReadDocument(ASource, kRolloutFileName, kRolloutLimit, missing);
    if (!document) {
        // A server without release control is updated as before, unless this workstation has
        // followed a rollout document already.
        if (!highest) return result;
        return Refused(std::move(result), TRefusal::MissingManifest, missing);
    }
    const std::optional<std::string> signature =
        ReadDocument(ASource, kRolloutSignatureFileName, kRolloutSignatureLimit, missing);
    if (!signature) return Refused(std::move(result), TRefusal::MissingManifest, missing);

    std::optional<TPublisherKey> key;
    try {
        key.emplace(WideToUtf8(AVerification.PublisherKey));
    } catch (const std::exception& e) {
        return Refused(std::move(result), TRefusal::InvalidKey, e.what());
    }
    if (!key->Verifies(*document, *signature)) return Refused(std::move(result), TRefusal::BadSignature);
    TRollout rollout;
    try {
        rollout = DecodeRollout(*document);
    } catch (const std::exception& e) {
        return Refused(std::move(result), TRefusal::MalformedManifest, e.what());
    }
    if (UtcNowUnix() > rollout.ExpiresUnix)
        return Refused(std::move(result), TRefusal::Expired, "expirou em " + UtcText(rollout.ExpiresUnix));
    if (highest && rollout.Serial < *highest)
        return Refused(
            std::move(result), TRefusal::OlderRelease,
            "série " + std::to_string(rollout.Serial) + ", já aceita a série " + std::to_string(*highest));
    result.State.RolloutSerial = rollout.Serial;

    // The number is drawn for the release being rolled out in the ring that governs this one, so the
    // same machines are not always the first to take a new release.
    const TRingAssignment* entry = RingEntry(rollout, AVerification.Ring);
    if (!entry) {
        // Neither this ring nor "geral" is named: the flat folder applies, as without a document.
        acceptedSerial.Raise(rollout.Serial);
        return result;
    }
    const unsigned number = WorkstationRolloutNumber(AVerification.MachineValue, entry->Ring, entry->Release);
    result.State.Number = number;
    const std::optional<uint64_t> assigned = AssignedRelease(rollout, AVerification.Ring, number);
    if (!assigned) return Refused(std::move(result), TRefusal::MalformedManifest, "nenhuma versão atribuída");

    const std::optional<std::string> releaseBytes =
        ReadDocument(ASource, ReleasePath(*assigned, ".json"), kReleaseLimit, missing);
    const std::optional<std::string> releaseSignature =
        releaseBytes ? ReadDocument(ASource, ReleasePath(*assigned, ".sig"), kRolloutSignatureLimit, missing)
                     : std::nullopt;
    if (!releaseBytes || !releaseSignature)
        return Refused(std::move(result), TRefusal::MissingManifest, missing);
    if (!key->Verifies(*releaseBytes, *releaseSignature))
        return Refused(std::move(result), TRefusal::BadSignature);
    TRelease release;
    try {
        release = DecodeRelease(*releaseBytes);
    } catch (const std::exception& e) {
        return Refused(std::move(result), TRefusal::MalformedManifest, e.what());
    }
    // Another signed release served under the assigned name would install what the ring was not given.
    if (release.Serial != *assigned)
        return Refused(
            std::move(result), TRefusal::MalformedManifest,
            "versão " + std::to_string(release.Serial) + " servida como " + std::to_string(*assigned));

    acceptedSerial.Raise(rollout.Serial);
    result.State.Release = release.Serial;
    result.Release = std::move(release);
    return result;
}

std::string MachineRolloutValue() {
    wchar_t guid[80] = {};
    DWORD size = sizeof(guid);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", L"MachineGuid",
                     RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, guid, &size) == ERROR_SUCCESS &&
        guid[0] != L'\0')
        return WideToUtf8(guid);
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = static_cast<DWORD>(std::size(name));
    if (GetComputerNameW(name, &length)) return WideToUtf8(std::wstring(name, length));
    return {};
}
