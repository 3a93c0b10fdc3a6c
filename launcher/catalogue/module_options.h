#pragma once
// The tile catalogue: which module each tile starts. Portable: it only keys on the tile's address.
#include <string>
#include <unordered_map>

struct TImage;

class TModuleOptions {
  public:
    struct TModuleInfo {
        std::wstring FModuleName;
        bool FAdditionalFiles = false;
    };

    // Raises Error("Duplicates not allowed") when the tile is already present.
    void AddModule(const TImage* ATile, const std::wstring& AModuleName, bool AAdditionalFiles);
    // False with the empty entry when the tile is not present.
    bool TryGetModule(const TImage* ATile, TModuleInfo& AInfo) const;
    std::size_t Count() const { return FModules.size(); }

  private:
    // Holds the entries by value; the tiles belong to the window.
    std::unordered_map<const TImage*, TModuleInfo> FModules;
};

using TModuleInfo = TModuleOptions::TModuleInfo;
