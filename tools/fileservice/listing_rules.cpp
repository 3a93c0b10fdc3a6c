#include "tools/fileservice/listing_rules.h"

#include <cctype>

#include "tools/fileservice/file_service.h"

namespace fileservice {

void LeftOut::Add(const std::string& relative, const std::string& why, bool folder) {
    if (++count_ > kWarningsKept) return;
    std::string name = relative;
    std::replace(name.begin(), name.end(), '/', '\\');
    texts_.push_back(
        (folder ? "left out of the listing with everything in it: " : "left out of the listing: ") +
        PrintableName(name) + " (" + why + ")");
}

void LeftOut::AppendTo(std::vector<std::string>& warnings) const {
    warnings.insert(warnings.end(), texts_.begin(), texts_.end());
    if (count_ > kWarningsKept)
        warnings.push_back(std::to_string(count_ - kWarningsKept) + " more entries left out of the listing");
}

bool IsTemporaryName(std::string_view relative) {
    const size_t slash = relative.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? relative : relative.substr(slash + 1);
    if (relative.starts_with(".~tmp~/") || relative.find("/.~tmp~/") != std::string_view::npos) return true;
    std::string lower(name);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if ((lower.starts_with('~') && lower.ends_with(".tmp")) || lower.ends_with(".part") ||
        lower.ends_with(".partial"))
        return true;
    // rsync writes ".NAME.XXXXXX" beside NAME and renames it when complete.
    if (name.size() > 8 && name.starts_with('.') && name[name.size() - 7] == '.') {
        const std::string_view suffix = name.substr(name.size() - 6);
        return std::all_of(suffix.begin(), suffix.end(),
                           [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
    }
    return false;
}

}  // namespace fileservice
