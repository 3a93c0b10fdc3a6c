#pragma once
// The tests' one temporary folder: a fresh folder that deletes itself with everything in it. In a
// namespace of its own, so that the e2e harness can give its tests a view of it under the same name.
#include <filesystem>

namespace test_support {

class TempFolder {
  public:
    // Text of a path in the system's own form (std::wstring on Windows).
    using Text = std::filesystem::path::string_type;

    // Under the system's temporary folder.
    TempFolder();
    // Under parent, e.g. Z:\tmp\ for a folder that a Linux program must reach too.
    explicit TempFolder(const std::filesystem::path& parent);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The folder for std::filesystem ...
    const std::filesystem::path& Dir() const { return dir_; }
    // ... and as text ending in a separator, to which a name is appended.
    const Text& Path() const { return path_; }
    Text operator/(const Text& name) const { return path_ + name; }
    // A subfolder, created if missing; as text ending in a separator.
    Text Folder(const Text& name) const;

  private:
    std::filesystem::path dir_;
    Text path_;
};

}  // namespace test_support
