#pragma once
// A source that serves a release's objects from the workstation's store (update/state/
// object_store.h) and everything else from the source it wraps. Only an object the store holds
// with exactly the SHA-256 its name says is taken; one that differs is removed from the store and
// fetched from the wrapped source like any other, so a store that was tampered with costs a fetch,
// never a wrong file. The update's own content check still sees every byte. Any thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "update/source/update_source.h"
#include "update/state/object_store.h"

class TStoredObjectsSource final : public IUpdateSource {
  public:
    TStoredObjectsSource(std::shared_ptr<IUpdateSource> ASource, TObjectStore AStore);

    std::wstring Where() const override { return FSource->Where(); }
    std::vector<TSourceFile> List() override { return FSource->List(); }
    std::string Read(const std::wstring& AName, uint64_t ALimit) override {
        return FSource->Read(AName, ALimit);
    }
    void Fetch(const std::wstring& ARemoteName, IByteSink& ASink, IFetchObserver* AObserver) override;
    void FetchFrom(const std::wstring& ARemoteName, uint64_t AFrom, IByteSink& ASink,
                   IFetchObserver* AObserver) override {
        FSource->FetchFrom(ARemoteName, AFrom, ASink, AObserver);
    }
    bool MakesFolders() const override { return FSource->MakesFolders(); }

    // Moves the stored object of AEntry into ATarget, aged AAge (TObjectStore::MoveInto), for a file
    // whose content no other file of the update needs: one read and one hash instead of a copy
    // checked twice. AObserver sees the bytes as they are checked. False when the store cannot give
    // it that way: it is missing, was altered (removed, and logged), or cannot be moved; the caller
    // then fetches as usual. Raises when the swap fails (ATarget as it was).
    bool Holds(const TManifestFile& AEntry) const { return FStore.Holds(AEntry); }
    bool MoveInto(const TManifestFile& AEntry, const std::wstring& ATarget, TDateTime AAge,
                  IFetchObserver* AObserver);

    // What the store served, and how many of its objects were refused, so far.
    uint64_t BytesFromStore() const { return FBytes; }
    size_t FilesFromStore() const { return FFiles; }
    size_t AlteredInStore() const { return FAltered; }

  private:
    void Refused(const TSha256& AContent);

    const std::shared_ptr<IUpdateSource> FSource;
    const TObjectStore FStore;
    std::atomic<uint64_t> FBytes{0};
    std::atomic<size_t> FFiles{0};
    std::atomic<size_t> FAltered{0};
};

// The content a release object's remote name ("aurevia-objects\ab\<64 hex>") stands for; nothing
// for any other name.
std::optional<TSha256> ObjectNamed(std::wstring_view ARemoteName);
