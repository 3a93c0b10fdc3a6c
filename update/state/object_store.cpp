#include "update/state/object_store.h"

#include <windows.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "base/handles.h"
#include "base/paths.h"
#include "base/string_convert.h"
#include "base/win32_error.h"
#include "update/disk/file_operations.h"
#include "update/trust/cng.h"
#include "update/trust/document_text.h"

namespace {

constexpr size_t kReadChunk = 256 * 1024;

std::wstring HexName(const TSha256& ASha256) { return Utf8ToWide(document_text::HexOf(ASha256)); }

std::optional<uint64_t> SizeOfFile(const std::wstring& APath) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(APath.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return std::nullopt;
    return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

// Reads the whole file in pieces; raises for a failed read.
void ReadPieces(HANDLE AFile, const std::function<void(const char*, size_t)>& AReader) {
    std::vector<char> buffer(kReadChunk);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(AFile, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
            ThrowLastError(TErrorCategory::Disk);
        if (got == 0) return;
        AReader(buffer.data(), got);
    }
}

// Hashes the whole file from its start, handing each piece on; whether it is exactly AEntry.
bool HoldsExactly(HANDLE AFile, const TManifestFile& AEntry,
                  const std::function<void(const char*, size_t)>& AReader) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(AFile, &size)) ThrowLastError(TErrorCategory::Disk);
    if (static_cast<uint64_t>(size.QuadPart) != AEntry.Size) return false;
    TSha256Hasher hasher;
    uint64_t length = 0;
    ReadPieces(AFile, [&](const char* AData, size_t ASize) {
        hasher.Update(AData, ASize);
        length += ASize;
        if (AReader) AReader(AData, ASize);
    });
    return length == AEntry.Size && hasher.Finish() == AEntry.Sha256;
}

// Renames the open file; false when the platform refuses (another volume, a name taken).
bool RenameOpenFile(HANDLE AFile, const std::wstring& ATo) {
    const size_t nameBytes = ATo.size() * sizeof(wchar_t);
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::copy(ATo.begin(), ATo.end(), info->FileName);
    return SetFileInformationByHandle(AFile, FileRenameInfo, info, static_cast<DWORD>(buffer.size())) != 0;
}

// The content a store file name stands for: 64 lowercase hex digits, with ".part" for a partial.
std::optional<TSha256> ContentNamed(std::wstring_view AName) {
    constexpr std::wstring_view kPartial = L".part";
    if (AName.size() == 64 + kPartial.size() && AName.substr(64) == kPartial) AName = AName.substr(0, 64);
    if (AName.size() != 64) return std::nullopt;
    for (const wchar_t c : AName)
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return std::nullopt;
    try {
        return document_text::Sha256From(WideToUtf8(AName));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

TObjectStore::TObjectStore(std::wstring AFolder) : FFolder(std::move(AFolder)) {}

std::wstring TObjectStore::ObjectPath(const TSha256& ASha256) const {
    return PathJoin(FFolder, HexName(ASha256));
}

std::wstring TObjectStore::PartialPath(const TSha256& ASha256) const {
    return ObjectPath(ASha256) + L".part";
}

bool TObjectStore::Holds(const TManifestFile& AEntry) const {
    return SizeOfFile(ObjectPath(AEntry.Sha256)) == AEntry.Size;
}

uint64_t TObjectStore::PartialLength(const TSha256& ASha256) const {
    return SizeOfFile(PartialPath(ASha256)).value_or(0);
}

void TObjectStore::Prepare() const { ForceDirectories(FFolder); }

void TObjectStore::Complete(const TSha256& ASha256) const {
    FlushFileToDisk(PartialPath(ASha256));
    if (!MoveFileExW(PartialPath(ASha256).c_str(), ObjectPath(ASha256).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        ThrowLastError(TErrorCategory::Disk);
}

void TObjectStore::Discard(const TSha256& ASha256) const noexcept {
    DeleteFileW(ObjectPath(ASha256).c_str());
    DeleteFileW(PartialPath(ASha256).c_str());
}

TObjectStore::TTake TObjectStore::Take(const TManifestFile& AEntry,
                                       const std::function<void(const char*, size_t)>& AReader) const {
    const std::wstring path = ObjectPath(AEntry.Sha256);
    const std::optional<uint64_t> size = SizeOfFile(path);
    if (!size) return TTake::Missing;
    // Shared for reading only: nobody replaces it between the check and the copy.
    unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return TTake::Missing;
    bool same = *size == AEntry.Size;
    if (same) {
        TSha256Hasher hasher;
        uint64_t length = 0;
        ReadPieces(file.get(), [&](const char* AData, size_t ASize) {
            hasher.Update(AData, ASize);
            length += ASize;
        });
        same = length == AEntry.Size && hasher.Finish() == AEntry.Sha256;
    }
    if (!same) {
        file.reset();
        Discard(AEntry.Sha256);
        return TTake::Altered;
    }
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) ThrowLastError(TErrorCategory::Disk);
    ReadPieces(file.get(), AReader);
    return TTake::Taken;
}

TObjectStore::TMove TObjectStore::MoveInto(const TManifestFile& AEntry, const std::wstring& ATarget,
                                           TDateTime AAge,
                                           const std::function<void(const char*, size_t)>& AReader) const {
    const std::wstring path = ObjectPath(AEntry.Sha256);
    if (!SizeOfFile(path)) return TMove::Missing;
    // A target that cannot be replaced (in use, read-only) leaves the object where it is.
    CheckReplaceable(ATarget);
    // Readers may share it; nobody may write, delete or rename it between the hash and the rename.
    unique_file file(CreateFileW(path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return TMove::Missing;
    if (!HoldsExactly(file.get(), AEntry, AReader)) {
        file.reset();
        Discard(AEntry.Sha256);
        return TMove::Altered;
    }
    const std::wstring temporary = TemporaryNameBeside(ATarget);
    if (!RenameOpenFile(file.get(), temporary)) return TMove::NotMovable;
    file.reset();
    try {
        SetFileAgeStrict(temporary, AAge);
        ReplaceWithTemporary(temporary, ATarget);
    } catch (...) {
        // Checked content is worth keeping: back into the store, or gone when even that fails.
        if (!MoveFileExW(temporary.c_str(), path.c_str(), 0)) DiscardTemporary(temporary);
        throw;
    }
    return TMove::Moved;
}

TStorePrune TObjectStore::Prune(const std::set<TSha256>& AKeep) const {
    TStorePrune result;
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileExW(PathJoin(FFolder, L"*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) return result;
    std::vector<std::pair<std::wstring, uint64_t>> loose;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const uint64_t size = (uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow;
        const std::optional<TSha256> content = ContentNamed(found.cFileName);
        if (content && AKeep.count(*content)) {
            result.HeldBytes += size;
            continue;
        }
        loose.emplace_back(found.cFileName, size);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    for (const auto& [name, size] : loose) {
        if (DeleteFileW(PathJoin(FFolder, name).c_str())) {
            ++result.Removed;
            result.FreedBytes += size;
        } else {
            result.HeldBytes += size;  // held open elsewhere: it still takes room
        }
    }
    return result;
}
