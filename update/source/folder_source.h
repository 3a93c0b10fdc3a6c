#pragma once
// The server folder as a source: a drive path or a network share, read through the file system.
#include "update/source/update_source.h"

class TFolderSource final : public IUpdateSource {
  public:
    explicit TFolderSource(std::wstring AFolder) : FFolder(std::move(AFolder)) {}

    std::wstring Where() const override { return FFolder; }
    // Sorted by full path, as the folder's tree is walked.
    std::vector<TSourceFile> List() override;
    std::string Read(const std::wstring& AName, uint64_t ALimit) override;
    void Fetch(const std::wstring& ARemoteName, IByteSink& ASink, IFetchObserver* AObserver) override;
    // A copy cut off (a paused background fetch) continues from its end instead of starting over.
    void FetchFrom(const std::wstring& ARemoteName, uint64_t AFrom, IByteSink& ASink,
                   IFetchObserver* AObserver) override;
    bool MakesFolders() const override { return true; }

  private:
    const std::wstring FFolder;
};
