#pragma once
// What commands of this tool that were stopped (killed, power lost) left behind: their temporaries
// ("~aur-publish-*", the lock file aside), links they made for a generation that never went live,
// and generations that are neither live nor the one before. Swept by the next command that holds
// the server's lock: no other command of this tool can be writing there then. The launcher's own
// temporaries ("~aur<pid>-<n>.tmp") and everything else are left alone.
#include <filesystem>

namespace publish {

// Returns how many entries went; says so on standard error when any did.
size_t SweepLeftovers(const std::filesystem::path& server);

}  // namespace publish
