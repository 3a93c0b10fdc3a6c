#pragma once
// The workstation's own store of release objects, "aurevia-cache\" beside the program. The
// background fetch fills it ahead of a release's switch; an update then takes a file from it instead
// of the network. Objects are named by the SHA-256 of their content, as on the server:
//   aurevia-cache\<64 hex>        a complete object, checked when it arrived
//   aurevia-cache\<64 hex>.part   one being fetched, continued from its length next time
// Nothing in the store is trusted: whoever takes an object checks it against its signed entry
// again (Take, MoveInto). Any thread; two threads may not work on one object at once (the launcher
// runs one background fetch, paused while an update takes objects out).
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "update/trust/release_manifest.h"

inline constexpr const wchar_t* kObjectStoreFolderName = L"aurevia-cache";

struct TStorePrune {
    size_t Removed = 0;  // objects and partial objects that no kept release names
    uint64_t FreedBytes = 0;
    uint64_t HeldBytes = 0;  // what is left, complete and partial
};

class TObjectStore {
  public:
    // AFolder: the store's folder (made when first written).
    explicit TObjectStore(std::wstring AFolder);

    const std::wstring& Folder() const { return FFolder; }
    std::wstring ObjectPath(const TSha256& ASha256) const;
    std::wstring PartialPath(const TSha256& ASha256) const;

    // Whether a complete object of the entry's size is there (its content is checked when taken).
    bool Holds(const TManifestFile& AEntry) const;
    // The length of the partial object, 0 when there is none.
    uint64_t PartialLength(const TSha256& ASha256) const;
    // Makes the folder.
    void Prepare() const;
    // A partial object whose every byte was checked becomes the object, its data on the disk first, so
    // that the click that moves it into place has nothing left to flush.
    void Complete(const TSha256& ASha256) const;
    // Removes the object and its partial (an altered one); nothing when neither is there.
    void Discard(const TSha256& ASha256) const noexcept;

    // The object's bytes when it is there with exactly the entry's size and SHA-256: read whole, hashed,
    // then handed to AReader piece by piece in a second pass. An object that differs is removed and
    // nothing is returned, so that the caller fetches it again. Raises only for a failed read.
    enum class TTake { Missing, Altered, Taken };
    TTake Take(const TManifestFile& AEntry, const std::function<void(const char*, size_t)>& AReader) const;

    // Moves the object into ATarget when the store holds it with exactly the entry's size and SHA-256:
    // read and hashed once under a handle that lets nobody else write, delete or rename it, renamed by
    // that handle to a temporary beside ATarget, given AAge and swapped in as any update swaps a file
    // (update/disk/file_operations.h). The store no longer holds it afterwards. AReader sees the
    // bytes as they are hashed. An object that differs is removed (Altered); one that cannot be
    // renamed there, as across volumes, stays (NotMovable), to be copied; in both cases ATarget is as
    // it was. Raises for a failed read or swap (ATarget as it was; the object back in the store when
    // it can be).
    enum class TMove { Missing, Altered, NotMovable, Moved };
    TMove MoveInto(const TManifestFile& AEntry, const std::wstring& ATarget, TDateTime AAge,
                   const std::function<void(const char*, size_t)>& AReader) const;

    // Removes what AKeep does not name (complete and partial), and the store's own leftovers.
    TStorePrune Prune(const std::set<TSha256>& AKeep) const;

  private:
    std::wstring FFolder;
};
