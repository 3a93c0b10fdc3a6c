#include "tools/publish/leftover_sweep.h"

#include <cstdio>
#include <string>
#include <vector>

#include "tools/publish/durable_file.h"
#include "tools/publish/live_generation.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

bool IsOwnTemporary(const std::string& name) {
    return name.rfind("~aur-publish-", 0) == 0 && name != kLockFileName;
}

}  // namespace

size_t SweepLeftovers(const fs::path& server) {
    std::vector<fs::path> temporaries, deadLinks;
    std::error_code error;
    // Links are not followed: the walk stays in the server folder and sees each entry once.
    for (fs::recursive_directory_iterator it(server, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        std::error_code typeError;
        if (IsOwnTemporary(name)) {
            temporaries.push_back(it->path());
            if (it->is_directory(typeError) && !it->is_symlink(typeError)) it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink(typeError) && !fs::exists(it->status(typeError)) && IsLiveLink(server, it->path()))
            deadLinks.push_back(it->path());
    }
    size_t removed = 0;
    for (const auto& path : temporaries) {
        std::error_code ignored;
        if (fs::remove_all(path, ignored) > 0) ++removed;
    }
    for (const auto& path : deadLinks) {
        std::error_code ignored;
        if (fs::remove(path, ignored)) ++removed;
    }
    removed += TrimGenerations(server);
    if (removed > 0)
        std::fprintf(stderr, "aurevia-publish: removed %zu leftovers of stopped commands from %s\n", removed,
                     server.c_str());
    return removed;
}

}  // namespace publish
