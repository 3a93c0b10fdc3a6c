#include "launcher/fleet/fleet_spool.h"

#include <algorithm>

#include "base/lock_name.h"
#include "base/paths.h"
#include "common/fleet_report_format.h"
#include "launcher/fleet/fleet_report.h"

namespace {

std::wstring SpoolLockName(const std::wstring& APath, const wchar_t* AKind) {
    return PathLockName(std::wstring(L"AureviaFleet") + AKind + L"-", APath);
}

// A spool is at most one batch; anything much larger was not written by a launcher.
constexpr DWORD kReadCap = 4 * kFleetBatchBytes;

bool WriteWhole(const std::wstring& APath, const std::string& AText) {
    const unique_file file(
        CreateFileW(APath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return WriteFile(file.get(), AText.data(), static_cast<DWORD>(AText.size()), &written, nullptr) &&
           written == AText.size() && FlushFileBuffers(file.get());
}

// A mutex whose holder ended without releasing it is ours all the same.
bool Take(HANDLE AMutex, DWORD ATimeoutMs) {
    if (!AMutex) return false;
    const DWORD wait = WaitForSingleObject(AMutex, ATimeoutMs);
    return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

}  // namespace

TFleetSpool::TFleetSpool(std::wstring APath)
    : FPath(std::move(APath)),
      FFileLock(CreateMutexW(nullptr, FALSE, SpoolLockName(FPath, L"Spool").c_str())),
      FSendClaim(CreateMutexW(nullptr, FALSE, SpoolLockName(FPath, L"Send").c_str())) {}

bool TFleetSpool::Lock(DWORD ATimeoutMs) { return Take(FFileLock.get(), ATimeoutMs); }

void TFleetSpool::Unlock() { ReleaseMutex(FFileLock.get()); }

bool TFleetSpool::ClaimSending() { return Take(FSendClaim.get(), 0); }

void TFleetSpool::ReleaseSending() { ReleaseMutex(FSendClaim.get()); }

bool TFleetSpool::Append(const std::vector<std::string>& AReports, DWORD ALockWaitMs) {
    if (!Lock(ALockWaitMs)) return false;
    std::vector<std::string> reports = Read();
    reports.insert(reports.end(), AReports.begin(), AReports.end());
    TrimFleetBatch(reports);
    const bool written = Write(reports);
    Unlock();
    return written;
}

std::vector<std::string> TFleetSpool::Peek(DWORD ALockWaitMs) {
    if (!Lock(ALockWaitMs)) return {};
    std::vector<std::string> reports = Read();
    Unlock();
    return reports;
}

bool TFleetSpool::Remove(const std::vector<std::string>& ASent, DWORD ALockWaitMs) {
    if (!Lock(ALockWaitMs)) return false;
    std::vector<std::string> reports = Read();
    // Others only add at the end, and trimming drops from the front: what was sent is whatever of
    // it is still there, in the same order.
    size_t next = 0;
    std::vector<std::string> kept;
    for (std::string& report : reports) {
        const auto sent = std::find(ASent.begin() + static_cast<std::ptrdiff_t>(next), ASent.end(), report);
        if (sent != ASent.end()) {
            next = static_cast<size_t>(sent - ASent.begin()) + 1;
        } else {
            kept.push_back(std::move(report));
        }
    }
    const bool written = Write(kept);
    Unlock();
    return written;
}

std::vector<std::string> TFleetSpool::Read() const {
    const unique_file file(CreateFileW(FPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > kReadCap) return {};
    std::string text(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!text.empty() && !ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr))
        return {};
    text.resize(read);
    return FleetBatchReports(text);
}

namespace {

// A small remembered line beside the spool: its first line, at most 127 bytes; "" when absent.
std::string ReadNote(const std::wstring& APath) {
    const unique_file file(CreateFileW(APath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    char text[128] = {};
    DWORD read = 0;
    if (!ReadFile(file.get(), text, sizeof(text) - 1, &read, nullptr)) return {};
    std::string value(text, read);
    value.resize(std::min(value.find_first_of("\r\n"), value.size()));
    return value;
}

// Written whole and renamed over (a temporary of this process's own): a reader sees the old line or
// the new one. Empty: the note is removed. Lost, it is only said again later.
void WriteNote(const std::wstring& APath, const std::string& ALine) {
    if (ALine.empty()) {
        DeleteFileW(APath.c_str());
        return;
    }
    const std::wstring temporary = APath + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    CreateDirectoryW(FolderOf(APath).c_str(), nullptr);
    if (!WriteWhole(temporary, ALine + "\n") ||
        !MoveFileExW(temporary.c_str(), APath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        DeleteFileW(temporary.c_str());
}

}  // namespace

bool TFleetSpool::ServiceTakesFormat2() const {
    return FleetFormatsTakeFormat2(ReadNote(FPath + L".formats"));
}

void TFleetSpool::RememberServiceTakesFormat2(bool ATakes) const {
    if (ServiceTakesFormat2() == ATakes) return;
    WriteNote(FPath + L".formats", ATakes ? std::string(kFleetFormatsTaken) : std::string());
}

std::pair<std::optional<uint64_t>, std::string> TFleetSpool::StagedSince() const {
    // "SERIAL TIME": digits, one blank, a time as the reports write it.
    const std::string line = ReadNote(FPath + L".staged");
    const size_t blank = line.find(' ');
    if (blank == 0 || blank == std::string::npos || blank > 19 ||
        line.find_first_not_of("0123456789") != blank || line.size() - blank - 1 > kFleetTimeChars)
        return {};
    const uint64_t release = std::stoull(line.substr(0, blank));
    if (release == 0 || release > kFleetMostSerial) return {};
    return {release, line.substr(blank + 1)};
}

void TFleetSpool::RememberStagedSince(std::optional<uint64_t> ARelease, const std::string& ASince) const {
    WriteNote(FPath + L".staged", ARelease ? std::to_string(*ARelease) + " " + ASince : std::string());
}

bool TFleetSpool::Write(const std::vector<std::string>& AReports) const {
    if (AReports.empty()) return DeleteFileW(FPath.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
    const std::wstring temporary = FPath + L".tmp";
    const std::string text = FleetBatchText(AReports);
    if (!WriteWhole(temporary, text)) {
        // The folder is missing on first use: made here, not before every write.
        CreateDirectoryW(FolderOf(FPath).c_str(), nullptr);
        if (!WriteWhole(temporary, text)) {
            DeleteFileW(temporary.c_str());
            return false;
        }
    }
    if (MoveFileExW(temporary.c_str(), FPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DeleteFileW(temporary.c_str());
    return false;
}
