#include "tools/publish/live_generation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "tools/publish/durable_file.h"
#include "tools/publish/folder_files.h"
#include "tools/publish/publish_error.h"
#include "update/trust/release_documents.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

constexpr mode_t kPublishedMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;

[[noreturn]] void FailErrno(const std::string& what, const fs::path& path) {
    throw PublishError(ExitStatus::Failed,
                       "Cannot " + what + " " + path.string() + ": " + std::strerror(errno));
}

fs::path ReleasesOf(const fs::path& server) { return server / kReleasesFolderName; }

// A name for something of this command's own in `folder`, which the next command sweeps if it stays.
fs::path TemporaryIn(const fs::path& folder, const char* kind) {
    static std::atomic<unsigned> counter{0};
    return folder / ("~aur-publish-" + std::string(kind) + "-" + std::to_string(::getpid()) + "-" +
                     std::to_string(++counter) + ".tmp");
}

std::optional<uint64_t> GenerationNumber(const std::string& name) {
    const size_t prefix = std::strlen(kGenerationPrefix);
    if (name.size() <= prefix || name.compare(0, prefix, kGenerationPrefix) != 0) return std::nullopt;
    uint64_t number = 0;
    const char* last = name.data() + name.size();
    const auto [stop, error] = std::from_chars(name.data() + prefix, last, number);
    if (error != std::errc() || stop != last) return std::nullopt;
    return number;
}

// Every generation folder, by number.
std::vector<std::pair<uint64_t, fs::path>> Generations(const fs::path& releases) {
    std::vector<std::pair<uint64_t, fs::path>> found;
    std::error_code error;
    for (fs::directory_iterator it(releases, error), end; !error && it != end; it.increment(error)) {
        std::error_code typeError;
        if (it->is_symlink(typeError) || !it->is_directory(typeError)) continue;
        if (const auto number = GenerationNumber(it->path().filename().string()))
            found.emplace_back(*number, it->path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// Above every generation there is, also those of commands stopped before their switch.
std::string NextGenerationName(const fs::path& releases) {
    const auto generations = Generations(releases);
    return kGenerationPrefix + std::to_string(generations.empty() ? 1 : generations.back().first + 1);
}

std::optional<std::string> LinkText(const fs::path& link) {
    std::error_code error;
    const fs::path target = fs::read_symlink(link, error);
    if (error) return std::nullopt;
    return target.string();
}

// "aurevia-releases/live/<name>" as seen from where `name` lies under the server.
std::string RootLinkTarget(const fs::path& name) {
    std::string up;
    for (size_t levels = std::distance(name.begin(), name.end()); levels > 1; --levels) up += "../";
    return up + std::string(kReleasesFolderName) + "/" + kLiveLinkName + "/" + name.generic_string();
}

// Raises for a link that cannot be made, saying so plainly where the file system holds none.
void MakeLink(const std::string& target, const fs::path& link) {
    if (::symlink(target.c_str(), link.c_str()) == 0) return;
    if (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS)
        throw PublishError(
            ExitStatus::Failed,
            "Cannot make the link " + link.string() + ": " + std::strerror(errno) +
                ". The server folder's file system holds no symbolic links, which the publisher "
                "needs to switch documents and their signatures at once; nothing was changed");
    FailErrno("make the link", link);
}

// Points `link` at `target` with one rename of a new link over it.
void SwitchLink(const fs::path& link, const std::string& target) {
    const fs::path staged = TemporaryIn(link.parent_path(), "link");
    MakeLink(target, staged);
    if (::rename(staged.c_str(), link.c_str()) != 0) {
        const int saved = errno;
        ::unlink(staged.c_str());
        errno = saved;
        FailErrno("switch the link", link);
    }
}

void MakeFolders(const fs::path& base, const fs::path& relativeFolder, std::vector<fs::path>* made) {
    fs::path path = base;
    for (const auto& level : relativeFolder) {
        path /= level;
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0) {
            if (!S_ISDIR(info.st_mode))
                throw PublishError(ExitStatus::Failed, "Cannot make the folder " + path.string() +
                                                           ": something else has that name");
            continue;
        }
        if (::mkdir(path.c_str(), 0755) != 0) FailErrno("create", path);
        if (made) made->push_back(path);
    }
}

// Every folder under `root` (itself included), deepest first, so that each is flushed after what it holds.
void SyncTree(const fs::path& root) {
    std::vector<fs::path> folders{root};
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        std::error_code typeError;
        if (!it->is_symlink(typeError) && it->is_directory(typeError)) folders.push_back(it->path());
    }
    if (error)
        throw PublishError(ExitStatus::Failed, "Cannot read " + root.string() + ": " + error.message());
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) SyncFolder(*it);
}

// A copy of the server made by a tool that follows links holds "live" as a folder of its own: it
// becomes a numbered generation, and "live" a link to it again.
void AdoptLiveFolder(const fs::path& releases) {
    const fs::path live = releases / kLiveLinkName;
    struct stat info {};
    if (::lstat(live.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return;
    const std::string name = NextGenerationName(releases);
    if (::rename(live.c_str(), (releases / name).c_str()) != 0) FailErrno("rename", live);
    SwitchLink(live, name);
    SyncFolder(releases);
}

}  // namespace

std::optional<fs::path> LiveGenerationFolder(const fs::path& server) {
    const fs::path link = ReleasesOf(server) / kLiveLinkName;
    const auto target = LinkText(link);
    if (!target || !GenerationNumber(*target)) return std::nullopt;
    const fs::path folder = ReleasesOf(server) / *target;
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(folder, error))) return std::nullopt;
    return folder;
}

bool IsLiveLink(const fs::path& server, const fs::path& entry) {
    const auto target = LinkText(entry);
    return target && *target == RootLinkTarget(entry.lexically_relative(server));
}

NextGeneration::NextGeneration(fs::path server) : server_(std::move(server)), releases_(ReleasesOf(server_)) {
    MakeFolders(server_, kReleasesFolderName, &madeFolders_);
    staging_ = TemporaryIn(releases_, "gen");
    if (::mkdir(staging_.c_str(), 0755) != 0) FailErrno("create", staging_);
}

NextGeneration::~NextGeneration() {
    if (committed_) return;
    std::error_code ignored;
    fs::remove_all(staging_, ignored);
    for (auto it = madeLinks_.rbegin(); it != madeLinks_.rend(); ++it)
        if (IsLiveLink(server_, *it)) ::unlink(it->c_str());
    for (auto it = madeFolders_.rbegin(); it != madeFolders_.rend(); ++it) ::rmdir(it->c_str());  // if empty
}

void NextGeneration::Stage(const fs::path& name) {
    if (name.empty() || name.is_absolute() || *name.begin() == kReleasesFolderName)
        throw PublishError(ExitStatus::Failed, "No document or file can be laid at " + name.string());
    if (!names_.insert(name).second)
        throw PublishError(ExitStatus::Failed, name.string() + " is laid twice into one generation");
    MakeFolders(staging_, name.parent_path(), nullptr);
}

void NextGeneration::Put(const SignedDocument& document) {
    for (const auto& [name, bytes] :
         {std::pair{document.Name, std::string_view(document.Bytes)},
          std::pair{document.SignatureName, std::string_view(document.Signature)}}) {
        Stage(name);
        const UniqueFd fd = CreateNewFile(staging_ / name, kPublishedMode);
        WriteAllAndSync(fd.Get(), bytes, staging_ / name);
    }
}

void NextGeneration::PutCopy(const fs::path& name, const fs::path& source, const TSha256& sha256,
                             int64_t ageUnix) {
    Stage(name);
    // The live generation's file when it is this very content with this age: the generations share
    // it instead of holding two copies (a flat rollout changes a few files of many).
    if (const auto live = LiveGenerationFolder(server_)) {
        struct stat info {};
        const fs::path present = *live / name;
        if (::lstat(present.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_mtim.tv_sec == ageUnix &&
            info.st_mtim.tv_nsec == 0) {
            try {
                if (HashFile(present, name.string()).File.Sha256 == sha256 &&
                    ::link(present.c_str(), (staging_ / name).c_str()) == 0)
                    return;
            } catch (const PublishError&) {
                // Not readable as it should be: copied anew below.
            }
        }
    }
    StagedFile copy((staging_ / name).parent_path(), source, sha256, ageUnix, kPublishedMode);
    copy.ReplaceInto(staging_ / name);
}

fs::path NextGeneration::EnsureLiveGeneration() {
    AdoptLiveFolder(releases_);
    if (auto live = LiveGenerationFolder(server_)) return *live;
    fs::path first = releases_ / NextGenerationName(releases_);
    if (::mkdir(first.c_str(), 0755) != 0) FailErrno("create", first);
    SyncFolder(releases_);
    SwitchLink(releases_ / kLiveLinkName, first.filename().string());
    SyncFolder(releases_);
    return first;
}

// A name at the root that is to come from the generation becomes a link into the live one. Where
// a file of its own stands there, the live generation first gets that very file (a hard link, under
// a name no reader reaches yet), so that the link shows the same bytes until the switch.
void NextGeneration::LinkAtRoot(const fs::path& name) {
    const fs::path path = server_ / name;
    const std::string target = RootLinkTarget(name);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno != ENOENT) FailErrno("read", path);
        MakeFolders(server_, name.parent_path(), &madeFolders_);
        // Leads nowhere until the switch: readers and walks skip a link to nothing.
        MakeLink(target, path);
        madeLinks_.push_back(path);
        return;
    }
    if (S_ISLNK(info.st_mode) && LinkText(path) == target) return;
    struct stat content {};
    if (::stat(path.c_str(), &content) != 0 || !S_ISREG(content.st_mode))
        throw PublishError(ExitStatus::Failed,
                           "Cannot lay " + name.string() + ": " + path.string() + " is not a file");
    const fs::path live = EnsureLiveGeneration();
    MakeFolders(live, name.parent_path(), nullptr);
    const fs::path held = TemporaryIn((live / name).parent_path(), "keep");
    if (::linkat(AT_FDCWD, path.c_str(), AT_FDCWD, held.c_str(), AT_SYMLINK_FOLLOW) != 0)
        FailErrno("keep the present file", path);
    if (::rename(held.c_str(), (live / name).c_str()) != 0) {
        const int saved = errno;
        ::unlink(held.c_str());
        errno = saved;
        FailErrno("keep the present file", path);
    }
    SyncFolder((live / name).parent_path());
    SwitchLink(path, target);
}

void NextGeneration::CarryOver(const fs::path& live) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(live, error), end; !error && it != end; it.increment(error)) {
        std::error_code typeError;
        if (it->is_symlink(typeError) || !it->is_regular_file(typeError)) continue;
        const fs::path name = it->path().lexically_relative(live);
        if (names_.count(name) || it->path().filename().string().rfind("~aur-publish-", 0) == 0) continue;
        MakeFolders(staging_, name.parent_path(), nullptr);
        // Generations never change a file once live, so the next one may share it.
        if (::link(it->path().c_str(), (staging_ / name).c_str()) == 0) continue;
        struct stat info {};
        if (::stat(it->path().c_str(), &info) != 0) FailErrno("read", it->path());
        StagedFile copy((staging_ / name).parent_path(), it->path(),
                        HashFile(it->path(), name.string()).File.Sha256, info.st_mtim.tv_sec,
                        info.st_mode & 0777);
        copy.ReplaceInto(staging_ / name);
    }
    if (error)
        throw PublishError(ExitStatus::Failed, "Cannot read " + live.string() + ": " + error.message());
}

void NextGeneration::Commit() {
    AdoptLiveFolder(releases_);
    std::set<fs::path> linkFolders{server_};
    for (const auto& name : names_) {
        LinkAtRoot(name);
        linkFolders.insert((server_ / name).parent_path());
    }
    const std::optional<fs::path> live = LiveGenerationFolder(server_);
    if (live) CarryOver(*live);
    SyncTree(staging_);
    for (const auto& folder : linkFolders) SyncFolder(folder);

    const fs::path next = releases_ / NextGenerationName(releases_);
    if (::rename(staging_.c_str(), next.c_str()) != 0) FailErrno("put the new generation in place as", next);
    staging_ = next;  // removed with the rest if the switch fails
    SyncFolder(releases_);
    SwitchLink(releases_ / kLiveLinkName, next.filename().string());
    committed_ = true;
    SyncFolder(releases_);
    TrimGenerations(server_);
}

size_t TrimGenerations(const fs::path& server) {
    const std::optional<fs::path> live = LiveGenerationFolder(server);
    if (!live) return 0;
    const auto liveNumber = GenerationNumber(live->filename().string());
    std::optional<uint64_t> previous;
    size_t removed = 0;
    const auto generations = Generations(ReleasesOf(server));
    for (const auto& [number, folder] : generations)
        if (number < *liveNumber) previous = number;
    for (const auto& [number, folder] : generations) {
        if (number == *liveNumber || number == previous) continue;
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        ++removed;
    }
    return removed;
}

}  // namespace publish
