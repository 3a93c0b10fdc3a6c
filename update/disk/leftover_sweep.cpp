#include "update/disk/leftover_sweep.h"

#include <windows.h>

#include <cstdint>

#include "base/handles.h"
#include "base/paths.h"
#include "update/disk/temporary_names.h"

bool ProcessRunning(unsigned long AProcessId) {
    unique_handle process(OpenProcess(SYNCHRONIZE, FALSE, AProcessId));
    if (!process) {
        // Only "no such process" proves it gone; a refusal means it exists under another account.
        return GetLastError() != ERROR_INVALID_PARAMETER;
    }
    return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

namespace {

uint64_t Ticks(const FILETIME& ATime) {
    return (static_cast<uint64_t>(ATime.dwHighDateTime) << 32) | ATime.dwLowDateTime;
}

// Whether the process now running under AProcessId can be the writer of a file created at ACreated.
// A process id is reused: a process that started after the file was made cannot have made it (under
// Wine every fresh launcher even gets the same id as the one that was killed). When the process's
// start cannot be read, it may be the writer: the file stays for a later sweep.
bool MayBeWriter(DWORD AProcessId, const FILETIME& ACreated) {
    HANDLE process = GetCurrentProcess();
    unique_handle other;
    if (AProcessId != GetCurrentProcessId()) {
        if (!ProcessRunning(AProcessId)) return false;
        other.reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, AProcessId));
        process = other.get();
    }
    FILETIME started, exited, kernel, user;
    if (!process || !GetProcessTimes(process, &started, &exited, &kernel, &user)) return true;
    return Ticks(ACreated) >= Ticks(started);
}

// Removes the file only if nothing holds it: opening it unshared proves that no writer is left, and
// deleting on close means no other process can open it between the proof and the removal.
bool RemoveIfUnheld(const std::wstring& APath) {
    const DWORD attributes = GetFileAttributesW(APath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    // A copy of a read-only server file is read-only too, and such a file refuses delete-on-close.
    if ((attributes & FILE_ATTRIBUTE_READONLY) &&
        !SetFileAttributesW(APath.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
        return false;
    unique_file file(CreateFileW(APath.c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(APath.c_str(), attributes);
        return false;
    }
    file.reset();
    return GetFileAttributesW(APath.c_str()) == INVALID_FILE_ATTRIBUTES;
}

}  // namespace

std::vector<std::wstring> SweepLeftoverTemporaries(const std::wstring& AFolder) noexcept {
    std::vector<std::wstring> removed;
    try {
        const std::wstring folder = FolderWithDelimiter(AFolder);
        WIN32_FIND_DATAW data;
        unique_find find(FindFirstFileExW((folder + L"~aur*.tmp").c_str(), FindExInfoBasic, &data,
                                          FindExSearchNameMatch, nullptr, 0));
        if (!find) return removed;
        do {
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            const auto owner = TemporaryOwner(data.cFileName);
            if (!owner || MayBeWriter(*owner, data.ftCreationTime)) continue;
            std::wstring path = folder + data.cFileName;
            if (RemoveIfUnheld(path)) removed.push_back(std::move(path));
        } while (FindNextFileW(find.get(), &data));
    } catch (...) {
        // Out of memory at worst: what was not swept stays for the next start.
    }
    return removed;
}
