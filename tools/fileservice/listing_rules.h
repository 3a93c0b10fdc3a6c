#pragma once
// What a walk of the served tree lists and what it leaves out, apart from the walking: copy tools'
// temporaries, names equal but for letter case, and the warnings for entries left out.
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace fileservice {

// Names of files that are still being written by common copy tools and are never listed: the
// launcher's own "~….tmp", "*.part", "*.partial", rsync's ".NAME.XXXXXX" and anything under rsync's
// ".~tmp~" folder. `relative` uses "/" between folders.
bool IsTemporaryName(std::string_view relative);

// Warnings name the first few entries a listing leaves out for a reason, then count the rest.
constexpr size_t kWarningsKept = 20;

// The entries a walk leaves out of the listing that the folder's keeper would expect to see (a name
// that is not UTF-8, a file the service cannot read, a link that leads nowhere), as warnings.
class LeftOut {
  public:
    // `relative` with "/" between folders; `why` for the operator.
    void Add(const std::string& relative, const std::string& why, bool folder = false);
    void AppendTo(std::vector<std::string>& warnings) const;

  private:
    std::vector<std::string> texts_;
    size_t count_ = 0;
};

// Of two names that fold alike, the one kept: the most recently written; ties, the byte-wise smaller.
inline bool Preferred(std::string_view name, const struct timespec& written, std::string_view other,
                      const struct timespec& otherWritten) {
    if (written.tv_sec != otherWritten.tv_sec) return written.tv_sec > otherWritten.tv_sec;
    if (written.tv_nsec != otherWritten.tv_nsec) return written.tv_nsec > otherWritten.tv_nsec;
    return name < other;
}

// A workstation holds one file per name under its case rule and refuses a listing that names one
// twice: of the entries whose names fold alike only the preferred one stays, and each such group
// gives a warning (the first few; then how many more). Leaves the entries sorted by name.
template <class Entry>
void KeepOnePerName(std::vector<Entry>& entries, std::vector<std::string>& warnings) {
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    std::unordered_map<std::string_view, size_t> kept;  // folded name -> position of the entry kept
    kept.reserve(entries.size());
    std::vector<bool> dropped;
    std::map<std::string_view, std::vector<size_t>> spellings;  // folded name -> every entry's position
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto [found, added] = kept.try_emplace(entries[i].folded, i);
        if (added) continue;
        if (dropped.empty()) dropped.resize(entries.size());
        auto& group = spellings[found->first];
        if (group.empty()) group.push_back(found->second);
        group.push_back(i);
        const Entry &e = entries[i], &current = entries[found->second];
        if (Preferred(e.name, e.info.st_mtim, current.name, current.info.st_mtim)) {
            dropped[found->second] = true;
            found->second = i;
        } else {
            dropped[i] = true;
        }
    }
    if (spellings.empty()) return;
    size_t groups = 0;
    for (const auto& [folded, positions] : spellings) {
        if (++groups > kWarningsKept) continue;
        std::string text = "names that differ only in letter case:";
        for (const size_t at : positions)
            text += " " + entries[at].name + (at == positions.back() ? ";" : ",");
        warnings.push_back(text + " only " + entries[kept.at(folded)].name +
                           " (the most recently written) is listed and served");
    }
    if (groups > kWarningsKept)
        warnings.push_back(std::to_string(groups - kWarningsKept) +
                           " more groups of names that differ only in letter case");
    // Views into the entries end here: the dropped ones go, the rest keep their order.
    size_t write = 0;
    for (size_t read = 0; read < entries.size(); ++read) {
        if (dropped[read]) continue;
        if (write != read) entries[write] = std::move(entries[read]);
        ++write;
    }
    entries.resize(write);
}

}  // namespace fileservice
