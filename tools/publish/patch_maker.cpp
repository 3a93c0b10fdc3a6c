#include "tools/publish/patch_maker.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/binary_patch.h"
#include "tools/publish/publish_error.h"

namespace publish {

namespace {

// A stretch of the new file found in the old one.
struct Match {
    int64_t oldAt = 0;
    int64_t length = 0;
};

class SuffixIndex {
  public:
    explicit SuffixIndex(std::string_view old) : old_(old), suffixes_(old.size()) {
        if (!old.empty() && divsufsort(reinterpret_cast<const sauchar_t*>(old.data()), suffixes_.data(),
                                       static_cast<saidx_t>(old.size())) != 0)
            throw PublishError(ExitStatus::Failed, "Cannot sort the old file's suffixes for a patch");
    }

    // The longest prefix of `wanted` that the old file holds somewhere.
    Match Longest(std::string_view wanted) const {
        if (suffixes_.empty() || wanted.empty()) return {};
        // Binary search for where `wanted` sorts among the suffixes; the longest match is next to it.
        size_t low = 0, high = suffixes_.size();
        while (high - low > 1) {
            const size_t middle = low + (high - low) / 2;
            if (Suffix(middle).compare(0, wanted.size(), wanted) < 0)
                low = middle;
            else
                high = middle;
        }
        Match best;
        for (const size_t at : {low, std::min(high, suffixes_.size() - 1)}) {
            const int64_t length = Common(Suffix(at), wanted);
            if (length > best.length) best = {suffixes_[at], length};
        }
        return best;
    }

  private:
    std::string_view Suffix(size_t index) const { return old_.substr(static_cast<size_t>(suffixes_[index])); }
    static int64_t Common(std::string_view a, std::string_view b) {
        const size_t most = std::min(a.size(), b.size());
        size_t length = 0;
        while (length < most && a[length] == b[length]) ++length;
        return static_cast<int64_t>(length);
    }

    std::string_view old_;
    std::vector<saidx_t> suffixes_;
};

// A match is taken as a new alignment only when it beats the present one by more than this many
// bytes: a little gain is not worth a control triple.
constexpr int64_t kWorthASwitch = 8;

}  // namespace

std::string MakeBinaryPatch(std::string_view oldFile, std::string_view newFile) {
    if (oldFile.size() > kMostPatchedFileSize || newFile.size() > kMostPatchedFileSize)
        throw PublishError(ExitStatus::Failed, "A file past " + std::to_string(kMostPatchedFileSize >> 20) +
                                                   " MiB is not patched");
    const SuffixIndex index(oldFile);
    const auto* o = reinterpret_cast<const unsigned char*>(oldFile.data());
    const auto* n = reinterpret_cast<const unsigned char*>(newFile.data());
    const int64_t oldSize = static_cast<int64_t>(oldFile.size()),
                  newSize = static_cast<int64_t>(newFile.size());
    const auto agrees = [&](int64_t newAt, int64_t oldAt) {
        return oldAt >= 0 && oldAt < oldSize && o[oldAt] == n[newAt];
    };

    TPatchContent content;
    content.OldSize = oldFile.size();
    content.NewSize = newFile.size();
    // The previous match's start in both files, and its alignment (old position minus new).
    int64_t lastNew = 0, lastOld = 0, lastShift = 0;
    int64_t scan = 0;
    Match match;
    while (scan < newSize) {
        // Find the next match that the present alignment does not already cover about as well.
        int64_t covered = 0;  // bytes of [scan, scan + match.length) the present alignment gets right
        int64_t counted = scan += match.length;
        for (; scan < newSize; ++scan) {
            match = index.Longest(newFile.substr(static_cast<size_t>(scan)));
            for (; counted < scan + match.length; ++counted) covered += agrees(counted, counted + lastShift);
            if ((match.length == covered && match.length != 0) || match.length > covered + kWorthASwitch)
                break;
            if (agrees(scan, scan + lastShift)) --covered;
        }
        if (match.length == covered && scan != newSize) continue;

        // Stretch the previous match forwards while at least half of the bytes agree...
        int64_t forward = 0;
        for (int64_t i = 0, same = 0, best = 0; lastNew + i < scan && lastOld + i < oldSize;) {
            same += o[lastOld + i] == n[lastNew + i];
            ++i;
            if (same * 2 - i > best * 2 - forward) best = same, forward = i;
        }
        // ...and this one backwards, likewise.
        int64_t backward = 0;
        if (scan < newSize) {
            for (int64_t i = 1, same = 0, best = 0; scan >= lastNew + i && match.oldAt >= i; ++i) {
                same += o[match.oldAt - i] == n[scan - i];
                if (same * 2 - i > best * 2 - backward) best = same, backward = i;
            }
        }
        // Where the two stretches overlap, split them where the most bytes agree.
        if (lastNew + forward > scan - backward) {
            const int64_t overlap = lastNew + forward - (scan - backward);
            int64_t same = 0, best = 0, split = 0;
            for (int64_t i = 0; i < overlap; ++i) {
                same += n[lastNew + forward - overlap + i] == o[lastOld + forward - overlap + i];
                same -= n[scan - backward + i] == o[match.oldAt - backward + i];
                if (same > best) best = same, split = i + 1;
            }
            forward += split - overlap;
            backward -= split;
        }

        for (int64_t i = 0; i < forward; ++i)
            content.Diff.push_back(static_cast<char>(n[lastNew + i] - o[lastOld + i]));
        const int64_t extraFrom = lastNew + forward, extraTo = scan - backward;
        content.Extra.append(
            newFile.substr(static_cast<size_t>(extraFrom), static_cast<size_t>(extraTo - extraFrom)));
        const int64_t seek = (match.oldAt - backward) - (lastOld + forward);
        if (forward == 0 && extraTo == extraFrom && !content.Controls.empty())
            content.Controls.back().Seek += seek;  // a triple that writes nothing only moves the old position
        else
            content.Controls.push_back(
                {static_cast<uint64_t>(forward), static_cast<uint64_t>(extraTo - extraFrom), seek});
        lastNew = scan - backward;
        lastOld = match.oldAt - backward;
        lastShift = match.oldAt - scan;
    }
    return EncodeBinaryPatch(content);
}

}  // namespace publish
