#include "tools/fileservice/file_service.h"

#include <sys/stat.h>

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <system_error>

#include "common/utf8.h"

namespace fileservice {
namespace fs = std::filesystem;

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

Refusal Forbidden(std::string_view name) {
    return {403, "Forbidden", "The name " + std::string(name) + " leaves the served folder."};
}

std::string RelativeName(const fs::path& root, const fs::path& path) {
    std::string name = path.lexically_relative(root).generic_string();
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

// The C library's Unicode tables, read through a locale object of their own: the process's locale
// (and so everything else that depends on it) stays as it is.
locale_t Utf8Locale() {
    static const locale_t locale = [] {
        for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"})
            if (const locale_t found = newlocale(LC_CTYPE_MASK, name, locale_t{})) return found;
        std::fprintf(stderr,
                     "aurevia-fileservice: no UTF-8 locale (C.UTF-8) installed; names that differ only in "
                     "the case of letters beyond ASCII are taken as different\n");
        return locale_t{};
    }();
    return locale;
}

// Why the launcher could not ask for a name safely: a backslash or colon in a Linux file name would
// be read as a separator or a stream on the way back; a name that is not UTF-8 reaches it with its
// stray bytes replaced, so that two such names can become one there. Empty when it can.
std::string UnlistableName(const std::string& name) {
    if (!IsUtf8(name)) return "the name is not UTF-8";
    if (name.find_first_of("\\:") != std::string::npos) return "the name holds a backslash or a colon";
    return {};
}

}  // namespace

bool IsUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const size_t length = DecodeUtf8(text.substr(i)).length;
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string PrintableName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size();) {
        const auto byte = static_cast<unsigned char>(name[i]);
        const size_t length = byte < 0x80 ? 1 : DecodeUtf8(name.substr(i)).length;
        if (length > 0 && byte >= 0x20 && byte != 0x7f) {
            out.append(name.substr(i, length));
            i += length;
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        out += escaped;
        ++i;
    }
    return out;
}

std::string FoldName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size();) {
        const char c = name[i];
        if (static_cast<unsigned char>(c) < 0x80) {
            out.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
            ++i;
            continue;
        }
        const auto [point, length] = DecodeUtf8(name.substr(i));
        if (length == 0) {
            out.push_back(c);
            ++i;
            continue;
        }
        const locale_t locale = Utf8Locale();
        const wint_t upper = locale ? towupper_l(static_cast<wint_t>(point), locale) : point;
        AppendUtf8(out, static_cast<char32_t>(upper));
        i += length;
    }
    return out;
}

bool IsReleaseControlName(std::string_view relative) {
    if (relative.empty() || (relative[0] != 'a' && relative[0] != 'A')) return false;  // most names: no fold
    const std::string folded = FoldName(relative);
    for (const std::string_view folder : {"AUREVIA-OBJECTS", "AUREVIA-RELEASES", "AUREVIA-ROOT"})
        if (folded.starts_with(folder) && (folded.size() == folder.size() || folded[folder.size()] == '/'))
            return true;
    return folded == "AUREVIA-ROLLOUT.JSON" || folded == "AUREVIA-ROLLOUT.SIG" ||
           folded == "AUREVIA-DEPLOYMENT";
}

FileService::FileService(const fs::path& root) : root_(fs::canonical(root)) {}

bool FileService::Inside(const fs::path& canonical) const {
    const auto [rootEnd, pathIt] =
        std::mismatch(root_.begin(), root_.end(), canonical.begin(), canonical.end());
    return rootEnd == root_.end();
}

std::vector<std::string_view> FileService::Segments(std::string_view& name, bool wantFolder) const {
    // A folder may be written from the root ("\\Relatorio"); a file name is always relative.
    const std::string_view original = name;
    if (wantFolder && name.starts_with('\\') && !name.starts_with("\\\\")) name.remove_prefix(1);
    // Rooted, drive-letter, UNC and stream names, and NUL bytes, never reach the file system.
    if (name.find(':') != std::string_view::npos || name.find('\0') != std::string_view::npos ||
        name.starts_with('/') || name.starts_with('\\'))
        throw Forbidden(original);
    std::vector<std::string_view> segments;
    for (size_t pos = 0; pos <= name.size();) {
        const size_t end = std::min(name.find_first_of("\\/", pos), name.size());
        const std::string_view segment = name.substr(pos, end - pos);
        pos = end + 1;
        if (segment.empty() || segment == ".") continue;
        if (segment == "..") throw Forbidden(name);
        segments.push_back(segment);
    }
    return segments;
}

std::shared_ptr<const NameIndex> FileService::CurrentIndex() const {
    std::lock_guard lock(indexMutex_);
    return index_;
}

fs::path FileService::ResolveInside(std::string_view name, bool wantFolder, std::string* found) const {
    const std::vector<std::string_view> segments = Segments(name, wantFolder);
    const std::shared_ptr<const NameIndex> index = CurrentIndex();
    const fs::path current = index ? Indexed(*index, segments, wantFolder) : ScanFor(segments);
    if (current.empty())
        throw Refusal{404, "Not Found",
                      std::string(wantFolder ? "Folder " : "File ") + std::string(name) + " does not exist."};
    // The same checks whichever way the name was found: the index only ever names entries under the
    // root, but a link among them may point anywhere, and the tree may have changed since the walk.
    std::error_code ec;
    const fs::path canonical = fs::canonical(current, ec);
    if (ec) throw Refusal{404, "Not Found", std::string(name) + " does not exist."};
    if (!Inside(canonical)) throw Forbidden(name);
    if (wantFolder ? !fs::is_directory(canonical, ec) : !fs::is_regular_file(canonical, ec))
        throw Refusal{404, "Not Found",
                      std::string(name) + (wantFolder ? " is not a folder." : " is not a file.")};
    if (found) *found = RelativeName(root_, current);
    return canonical;
}

fs::path FileService::Indexed(const NameIndex& index, const std::vector<std::string_view>& segments,
                              bool wantFolder) const {
    if (segments.empty()) return root_;
    const auto exists = [](const fs::path& path) {
        std::error_code ec;
        return fs::exists(fs::symlink_status(path, ec));
    };
    std::string relative;
    for (const std::string_view segment : segments) {
        if (!relative.empty()) relative += '/';
        relative += segment;
    }
    const auto& names = wantFolder ? index.folders : index.files;
    if (const auto found = names.find(FoldName(relative)); found != names.end()) {
        fs::path path = root_ / found->second;
        if (exists(path)) return path;
    }
    // Not there at the last walk (made since, or missing), or gone since: its folder as indexed, its
    // own name as written. A single look at the file system, never a scan.
    const size_t slash = relative.rfind('/');
    fs::path path = root_;
    if (slash != std::string::npos) {
        const std::string folder = relative.substr(0, slash);
        const auto found = index.folders.find(FoldName(folder));
        path /= found != index.folders.end() ? found->second : folder;
    }
    path /= segments.back();
    return exists(path) ? path : fs::path();
}

fs::path FileService::ScanFor(const std::vector<std::string_view>& segments) const {
    fs::path current = root_;
    for (const std::string_view segment : segments) {
        fs::path next = current / std::string(segment);
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(next, ec))) {
            next.clear();
            for (const auto& entry : fs::directory_iterator(current, ec)) {
                if (EqualsIgnoringCase(entry.path().filename().string(), segment)) {
                    next = entry.path();
                    break;
                }
            }
            if (next.empty()) return {};
        }
        current = next;
    }
    return current;
}

void FileService::UseIndex(std::shared_ptr<const NameIndex> index) const {
    std::lock_guard lock(indexMutex_);
    index_ = std::move(index);
}

fs::path FileService::ResolveFile(std::string_view name, std::string* found) const {
    if (name.empty()) throw Refusal{400, "Bad Request", "No file name given."};
    return ResolveInside(name, false, found);
}

OpenedFile FileService::OpenFile(std::string_view name, std::string* found) const {
    if (name.empty()) throw Refusal{400, "Bad Request", "No file name given."};
    std::string_view rest = name;
    const std::vector<std::string_view> segments = Segments(rest, false);
    if (const std::shared_ptr<const NameIndex> index = CurrentIndex(); index && !segments.empty()) {
        std::string relative;
        for (const std::string_view segment : segments) {
            if (!relative.empty()) relative += '/';
            relative += segment;
        }
        // The common case, a name of the last walk, in two system calls rather than a lookup of
        // every component; anything else (gone, replaced by a link out, not a file) goes the long
        // way, which gives the reason.
        if (const auto entry = index->files.find(FoldName(relative)); entry != index->files.end()) {
            OpenedFile file = OpenServedFileBeneath(root_.c_str(), entry->second.c_str());
            if (!file.Refused()) {
                if (found) {
                    *found = entry->second;
                    std::replace(found->begin(), found->end(), '/', '\\');
                }
                return file;
            }
        }
    }
    return OpenServedFile(ResolveInside(name, false, found).c_str());
}

std::vector<ListedFile> FileService::List(std::string_view folder, std::string_view mask,
                                          bool recursive) const {
    const fs::path start = folder.empty() ? root_ : ResolveInside(folder, true);
    const std::string effectiveMask = mask.empty() ? "*" : std::string(mask);
    std::vector<ListedFile> files;
    std::error_code ec;
    const auto consider = [&](const fs::directory_entry& entry) {
        if (IsReleaseControlName(entry.path().lexically_relative(root_).generic_string())) return;
        if (!MaskMatches(effectiveMask, entry.path().filename().string())) return;
        if (auto file = Listable(entry))
            files.push_back({std::move(file->name), FormatLocalAge(file->info.st_mtim)});
    };
    if (recursive) {
        // Folder links are not followed: the walk cannot loop or leave the root through them.
        for (auto it =
                 fs::recursive_directory_iterator(start, fs::directory_options::skip_permission_denied, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            consider(*it);
    } else {
        for (const auto& entry :
             fs::directory_iterator(start, fs::directory_options::skip_permission_denied, ec))
            consider(entry);
    }
    std::sort(files.begin(), files.end(),
              [](const ListedFile& a, const ListedFile& b) { return a.name < b.name; });
    return files;
}

std::optional<TreeFile> FileService::Listable(const fs::directory_entry& entry, std::string* whyNot) const {
    const auto refuse = [&](std::string why) -> std::optional<TreeFile> {
        if (whyNot) *whyNot = std::move(why);
        return std::nullopt;
    };
    std::error_code error;
    const bool link = entry.is_symlink(error);
    // Follows links; folders are walked, not listed.
    if (!entry.is_regular_file(error))
        return link && !fs::exists(entry.path(), error) ? refuse("a link that leads nowhere") : std::nullopt;
    TreeFile file{};
    if (link) {
        // A link is listed only when its target stays inside the served folder.
        const fs::path target = fs::canonical(entry.path(), error);
        if (error) return refuse("a link that leads nowhere");
        if (!Inside(target)) return refuse("a link that leads out of the served folder");
        if (::stat(target.c_str(), &file.info) != 0) return refuse("a link that leads nowhere");
    } else if (::stat(entry.path().c_str(), &file.info) != 0) {
        return std::nullopt;
    }
    if (std::string why = UnlistableName(entry.path().lexically_relative(root_).string()); !why.empty())
        return refuse(std::move(why));
    file.name = RelativeName(root_, entry.path());
    return file;
}

std::string FileService::ListedFolder(std::string_view folder) const {
    if (folder.empty()) return {};
    const fs::path path = ResolveInside(folder, true);
    return path == root_ ? std::string() : RelativeName(root_, path);
}

bool MaskMatches(std::string_view mask, std::string_view name) {
    if (mask == "*.*" || mask == "*") return true;
    // Iterative wildcard match with one backtrack point for the last "*".
    size_t m = 0, n = 0, starM = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (m < mask.size() && (mask[m] == '?' || LowerAscii(mask[m]) == LowerAscii(name[n]))) {
            ++m;
            ++n;
        } else if (m < mask.size() && mask[m] == '*') {
            starM = m++;
            starN = n;
        } else if (starM != std::string_view::npos) {
            m = starM + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*') ++m;
    return m == mask.size();
}

std::string FormatLocalAge(const struct timespec& time) {
    struct tm local {};
    localtime_r(&time.tv_sec, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  time.tv_nsec / 1000000);
    return text;
}

}  // namespace fileservice
