#include "update/state/accepted_state.h"

#include <windows.h>

#include "base/event_log.h"
#include "base/handles.h"
#include "base/string_convert.h"
#include "base/win32_error.h"
#include "update/disk/file_operations.h"
#include "update/trust/document_text.h"

namespace {

constexpr TAcceptedDocument kDocuments[] = {TAcceptedDocument::Manifest, TAcceptedDocument::Rollout};

// The kind as the registry of earlier launchers and epoch 0 name it.
const char* BaseKindOf(TAcceptedDocument ADocument) {
    switch (ADocument) {
        case TAcceptedDocument::Rollout:
            return "rollout";
        case TAcceptedDocument::Root:
            return "root";
        case TAcceptedDocument::Manifest:
            break;
    }
    return "manifest";
}

// The file's text; nothing when there is no file. Raises when it cannot be read or is larger than
// any state.
std::optional<std::string> ReadStateText(const std::wstring& APath) {
    unique_file file(CreateFileW(APath.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return std::nullopt;
        throw Win32Error(error, TErrorCategory::Disk);
    }
    std::string text(kAcceptedStateLimit + 1, '\0');
    DWORD read = 0;
    if (!ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr))
        throw Win32Error(GetLastError(), TErrorCategory::Disk);
    text.resize(read);
    return text;
}

// A file that cannot be read or understood counts as holding nothing: the plan still has the
// registry's serials, and the next raise writes the file anew.
TAcceptedRecord ReadStateFile(const std::wstring& APath, std::string& ADeployment) {
    try {
        const std::optional<std::string> text = ReadStateText(APath);
        return text ? DecodeAcceptedState(*text, &ADeployment) : TAcceptedRecord{};
    } catch (...) {
        const TFailureInfo failure = FailureOf(std::current_exception());
        LogEvent(TLogLine(TLogLevel::Warn, "state-unreadable")
                     .Add("file", APath)
                     .Add("reason", failure.Text)
                     .Add("category", ErrorCategoryName(failure.Category))
                     .Add("code", ErrorCodeText(failure.Code)));
        return {};
    }
}

void WriteStateFile(const std::wstring& APath, const std::string& AText) {
    const std::wstring temporary = TemporaryNameBeside(APath);
    try {
        {
            unique_file file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file) throw Win32Error(GetLastError(), TErrorCategory::Disk);
            DWORD written = 0;
            if (!WriteFile(file.get(), AText.data(), static_cast<DWORD>(AText.size()), &written, nullptr) ||
                written != AText.size())
                throw Win32Error(GetLastError(), TErrorCategory::Disk);
        }
        ReplaceWithTemporary(temporary, APath);
    } catch (...) {
        DiscardTemporary(temporary);
        throw;
    }
}

}  // namespace

TAcceptedState::TAcceptedState(std::wstring AStateFile, std::wstring ARegistryKey)
    : FStateFile(std::move(AStateFile)), FRegistryKey(std::move(ARegistryKey)) {
    if (!FStateFile.empty()) FRecord = ReadStateFile(FStateFile, FDeployment);
    TAcceptedRecord registry;
    for (const TAcceptedDocument document : kDocuments) {
        if (const std::optional<uint64_t> serial = RegistrySerial(document).Highest())
            registry[BaseKindOf(document)] = TAcceptedSigning(*serial);
    }
    if (registry.empty()) return;
    FRecord = MergedAcceptedState(FRecord, registry);
    if (FStateFile.empty() || !StoreInFile()) return;
    // In the file now: left in the registry they would outlive any later reset of the file.
    TLogLine line(TLogLevel::Info, "state-migrated");
    line.Add("file", FStateFile);
    for (const TAcceptedDocument document : kDocuments) {
        const auto found = registry.find(BaseKindOf(document));
        if (found == registry.end()) continue;
        line.Add(BaseKindOf(document), found->second.Serial);
        RegistrySerial(document).Remove();
    }
    LogEvent(line);
}

TAcceptedSerial TAcceptedState::RegistrySerial(TAcceptedDocument ADocument) const {
    return TAcceptedSerial(FRegistryKey, ADocument == TAcceptedDocument::Rollout ? kRolloutSerialRegistryValue
                                                                                 : kSerialRegistryValue);
}

std::string TAcceptedState::KindOf(TAcceptedDocument ADocument) const {
    const std::string base = BaseKindOf(ADocument);
    if (ADocument == TAcceptedDocument::Root || FEpoch == 0) return base;
    return base + "@" + std::to_string(FEpoch);
}

void TAcceptedState::FollowEpoch(uint64_t AEpoch, uint64_t ASerialFloor) {
    FEpoch = AEpoch;
    FSerialFloor = ASerialFloor;
}

std::optional<TAcceptedSigning> TAcceptedState::Accepted(TAcceptedDocument ADocument) const {
    const auto found = FRecord.find(KindOf(ADocument));
    if (found != FRecord.end()) return found->second;
    if (ADocument == TAcceptedDocument::Root || FEpoch == 0) return std::nullopt;
    // Something of this kind was accepted under an earlier epoch: the new one starts at its floor
    // (and a workstation that followed a rollout document still refuses a server without one).
    const std::string base = BaseKindOf(ADocument);
    for (const auto& [kind, signing] : FRecord) {
        if (kind == base || kind.rfind(base + "@", 0) == 0) return TAcceptedSigning(FSerialFloor);
    }
    return std::nullopt;
}

std::optional<uint64_t> TAcceptedState::Highest(TAcceptedDocument ADocument) const {
    const std::optional<TAcceptedSigning> accepted = Accepted(ADocument);
    if (!accepted) return std::nullopt;
    return accepted->Serial;
}

void TAcceptedState::Raise(TAcceptedDocument ADocument, uint64_t ASerial, const TSha256& ASha256) {
    if (const std::optional<TAcceptedSigning> present = Accepted(ADocument)) {
        if (ASerial < present->Serial || (ASerial == present->Serial && present->Sha256)) return;
    }
    FRecord[KindOf(ADocument)] = TAcceptedSigning(ASerial, ASha256);
    if (!FStateFile.empty() && StoreInFile()) return;
    // The registry of earlier launchers knows neither the root nor epochs.
    if (ADocument == TAcceptedDocument::Root || FEpoch != 0)
        throw Error("the accepted trust root cannot be kept: the state file cannot be written",
                    TErrorCategory::Disk);
    StoreInRegistry();
}

void TAcceptedState::KeepDeployment(const std::string& ADeployment) {
    if (!FDeployment.empty() || ADeployment.empty()) return;
    FDeployment = ADeployment;
    if (FStateFile.empty() || !StoreInFile())
        throw Error(
            "the deployment of the accepted documents cannot be kept: the state file cannot be written",
            TErrorCategory::Disk);
}

bool TAcceptedState::StoreInFile() {
    try {
        std::string kept;
        TAcceptedRecord merged = MergedAcceptedState(ReadStateFile(FStateFile, kept), FRecord);
        // The first kept wins: another launcher of this installation may have kept one meanwhile.
        if (!kept.empty()) FDeployment = kept;
        WriteStateFile(FStateFile, EncodeAcceptedState(merged, FDeployment));
        FRecord = std::move(merged);
        return true;
    } catch (...) {
        const TFailureInfo failure = FailureOf(std::current_exception());
        LogEvent(TLogLine(TLogLevel::Warn, "state-unwritable")
                     .Add("file", FStateFile)
                     .Add("reason", failure.Text)
                     .Add("category", ErrorCategoryName(failure.Category))
                     .Add("code", ErrorCodeText(failure.Code))
                     .Add("kept", "user-registry"));
        return false;
    }
}

void TAcceptedState::StoreInRegistry() const {
    for (const TAcceptedDocument document : kDocuments) {
        if (const std::optional<uint64_t> serial = Highest(document)) RegistrySerial(document).Raise(*serial);
    }
}
