#pragma once
// The file-system operations of the updater, with the failures and messages its callers rely on.
// Paths are Windows paths; every operation is safe to call from any thread.
#include <string>
#include <string_view>
#include <vector>

#include "base/date_time.h"
#include "base/error.h"

// A file (not a folder) is there, also when another process holds it; a link counts when its target
// exists. Never raises.
bool FileExists(const std::wstring& path);

// Reads the age of the file at path into age. A folder, a missing file or an unreadable entry leaves
// age as it was and answers false. Never raises.
bool ReadFileAge(const std::wstring& path, TDateTime& age);

// Creates the folder and every missing parent. Raises when the full path is 248 characters or longer,
// is not a valid path, or lies on a drive that does not exist.
void ForceDirectories(const std::wstring& folder);

// The check that delete, copy and set-age run first: the path is shorter than 260 characters
// (without the "\\?\" prefix), not blank, holds no invalid character, has a supported format, and
// its folder exists ("The specified path was not found"). Its failures are of ACategory: the disk's
// for a path of the workstation's, the fetch's for one of the server folder's.
void CheckFilePath(const std::wstring& path, TErrorCategory category = TErrorCategory::Disk);

// Removes the file. Raises when the path check fails or the platform refuses because the file is not
// found, access is denied or another process holds it; other refusals pass silently.
void DeleteFileChecked(const std::wstring& path);

class IFetchObserver;

// Copies source to target, never overwriting; the copy keeps the source's last-write time.
void CopyFileNoOverwrite(const std::wstring& source, const std::wstring& target);

// The same copy read and written piece by piece through `observer` (see update/fetch_observer.h),
// which sees every byte once, in order, and may end the copy by raising; a copy that fails or is
// ended leaves the target to the caller to discard. The target gets the source's last-write time.
void CopyFileNoOverwrite(const std::wstring& source, const std::wstring& target, IFetchObserver& observer);

class IByteSink;

// Reads the file piece by piece into sink, observer (when given) seeing each piece first; both may
// end the read by raising. Raises "The specified file was not found" for a missing source. From
// byte AFrom on when the file still holds that many, so that a partial copy continues; from the
// start otherwise (the file changed: the sink and the observer see Begin(0) and start over).
void CopyFileInto(const std::wstring& source, IByteSink& sink, IFetchObserver* observer, uint64_t AFrom = 0);

// Sets only the last-write time of an existing file. Raises when the path check fails or no file is
// there ("The specified file was not found"); a file that cannot be opened for writing (read-only,
// locked) keeps its time and no error is raised.
void SetFileAge(const std::wstring& path, TDateTime age);

// Sets the last-write time through the attribute-writing right alone, which read-only files grant
// too; raises on any failure. For files the caller has just written itself.
void SetFileAgeStrict(const std::wstring& path, TDateTime age);

// Every file under root (which ends with "\"), at any depth, hidden and system files included, as
// full paths beginning with root as written, with the ages of their directory entries. Folder links
// are listed but not followed, so a link that points back up the tree cannot loop. Raises "The
// specified path was not found" when root does not exist.
struct TListedFile {
    std::wstring FullPath;
    TDateTime Age;
};
std::vector<TListedFile> ListFilesUnder(const std::wstring& root);

// Fetches are written beside their target under a name no other fetch uses and swapped in only when
// complete, so that a failed fetch loses nothing.
std::wstring TemporaryNameBeside(const std::wstring& target);

// Raises when an existing target cannot be replaced: it carries the read-only attribute (checked
// here because the platform lets an administrator replace such files), or another process holds it.
void CheckReplaceable(const std::wstring& target);

// Makes the file's data reach the disk (also for a read-only file, whose attribute stays); raises on
// failure. Renaming a file over another only after this, and with write-through, means that a power
// cut leaves under the target's name either the old file or the complete new one.
void FlushFileToDisk(const std::wstring& path);

// Swaps the finished temporary file in for target in one rename, after CheckReplaceable: the
// temporary's data is flushed first and the rename is written through.
void ReplaceWithTemporary(const std::wstring& temporary, const std::wstring& target);

// Deletes a temporary file of ours, read-only or not; never raises.
void DiscardTemporary(const std::wstring& temporary) noexcept;
