#pragma once
// What the reference file service answers, apart from the HTTP server around it: the file list of
// a folder as JSON, and the resolution of a requested name to a file inside the served folder.
// Nothing outside the served folder is ever listed or resolved.
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/listing_json.h"
#include "tools/fileservice/served_file.h"

namespace fileservice {

// A refused request: the HTTP status and the error record's texts.
struct Refusal {
    int status;
    std::string error;
    std::string detail;
};

using ListedFile = ListingEntry;  // its name relative to the served root

// A file of the served tree as the walk finds it: its listed name and what stat() said.
struct TreeFile {
    std::string name;  // relative to the served root, backslashes between folders
    struct stat info;
};

// The names of the served tree under the launcher's case rule, as one walk found them: folded
// relative name ("/" between folders, see FoldName) -> the name on disk. Where several names fold
// alike, the one the listing shows (else the most recently written; ties: the byte-wise smaller).
struct NameIndex {
    std::unordered_map<std::string, std::string> files;
    std::unordered_map<std::string, std::string> folders;
};

class FileService {
  public:
    // `root` must name an existing folder.
    explicit FileService(const std::filesystem::path& root);

    const std::filesystem::path& Root() const { return root_; }

    // The files under `folder` ("\" or empty for the root; names relative to the root) whose
    // names match `mask`, recursing into subfolders when asked. Throws Refusal for a folder that
    // does not exist or would leave the root.
    std::vector<ListedFile> List(std::string_view folder, std::string_view mask, bool recursive) const;

    // The file a relative name (already percent-decoded) stands for. Names that would leave the
    // root are refused with 403, missing files with 404. Letter case does not matter, as on the
    // launcher's Windows: with an index (see UseIndex) the name is looked up there and, when absent
    // (a file made since the walk), its folder is and the file name is tried as written; without
    // one, each folder level is matched exactly and then by a scan ignoring ASCII letter case.
    // Whatever the index says, the target is checked again: it must still exist, lie inside the root
    // once links are followed, and be a file.
    // `found`, when given, receives the name as found in the tree before links are followed
    // (relative, backslashes between folders): the spelling a listing shows.
    std::filesystem::path ResolveFile(std::string_view name, std::string* found = nullptr) const;

    // The file ResolveFile names, opened as OpenServedFile opens it (refused when it is no longer
    // a readable regular file). A name the index knows is opened in one step beneath the root
    // (see OpenServedFileBeneath) without resolving it here first; others as ResolveFile does.
    OpenedFile OpenFile(std::string_view name, std::string* found = nullptr) const;

    // Replaces the index that ResolveFile and ListedFolder consult. The listing cache keeps it
    // current with each walk that succeeds; it changes no answer's safety, only how a name is found.
    void UseIndex(std::shared_ptr<const NameIndex> index) const;

    // The folder a listing request names ("\\" or empty for the root), as a listed name prefix:
    // "" for the root, else e.g. "Relatorio" (the folder's real letter case). Refuses as List does.
    std::string ListedFolder(std::string_view folder) const;

    // An entry met while walking the tree, when a listing shows it: a regular file (links followed
    // only to targets inside the root) whose name is UTF-8 and one the launcher can ask for. When
    // not, and the entry is not simply something other than a file, `whyNot` says why (for a
    // warning: a link that leads nowhere or out of the root, a name the launcher cannot use).
    std::optional<TreeFile> Listable(const std::filesystem::directory_entry& entry,
                                     std::string* whyNot = nullptr) const;

  private:
    std::vector<std::string_view> Segments(std::string_view& name, bool wantFolder) const;
    std::shared_ptr<const NameIndex> CurrentIndex() const;
    std::filesystem::path ResolveInside(std::string_view name, bool wantFolder,
                                        std::string* found = nullptr) const;
    std::filesystem::path ScanFor(const std::vector<std::string_view>& segments) const;
    std::filesystem::path Indexed(const NameIndex& index, const std::vector<std::string_view>& segments,
                                  bool wantFolder) const;
    bool Inside(const std::filesystem::path& canonical) const;

    std::filesystem::path root_;  // canonical
    // A cache of the tree's names, not part of what the service is: replaced behind const.
    mutable std::mutex indexMutex_;
    mutable std::shared_ptr<const NameIndex> index_;
};

// A name as the launcher compares names: each character upper-cased by Unicode's simple mapping
// (UTF-8 in and out; bytes that are not UTF-8 stay as they are, ASCII letters upper-cased).
// Why not the launcher's own rule (update/disk/file_keys: LCMapStringEx, linguistic casing in the
// user's locale): that rule lives in Windows and depends on each workstation's locale, which the
// service cannot know. Unicode's locale-free mapping agrees with it but where a locale has casing of
// its own (the Turkish and Azeri i) or the two sides' Unicode tables differ in age; a name the two
// rules fold apart is answered "not found" rather than served under another name.
std::string FoldName(std::string_view name);

// The release-control entries beside the flat files (aurevia-objects/, aurevia-releases/,
// aurevia-rollout.json and .sig): never listed, still downloadable by name. "/" between folders.
bool IsReleaseControlName(std::string_view relative);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool IsUtf8(std::string_view text);

// A name for a log line or a warning: bytes that are not UTF-8 written as \xHH, so the text stays
// UTF-8 (and valid JSON once escaped) whatever the file system holds.
std::string PrintableName(std::string_view name);

// Wildcard match of a file name: "*" any run, "?" one character, ASCII letter case ignored.
// "*.*" matches every name, also those without a dot, as on Windows.
bool MaskMatches(std::string_view mask, std::string_view name);

// ISO 8601 local clock time to the millisecond, without offset (the launcher compares ages as
// clock times, so a fetched file compares equal at its next update).
std::string FormatLocalAge(const struct timespec& time);

}  // namespace fileservice
