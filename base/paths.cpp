#include "base/paths.h"

#include "base/error.h"

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

}  // namespace

std::wstring FolderWithDelimiter(std::wstring_view folder) {
    std::wstring result(folder);
    if (result.empty() || result.back() != L'\\') result.push_back(L'\\');
    return result;
}

bool HasInvalidPathChars(std::wstring_view path) {
    for (wchar_t c : path) {
        if (c < 32 || c == L'"' || c == L'<' || c == L'>' || c == L'|') return true;
    }
    return false;
}

bool IsRootedPath(std::wstring_view path) {
    if (!path.empty() && IsSeparator(path[0])) return true;
    return path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == L':';
}

std::wstring PathJoin(std::wstring_view folder, std::wstring_view name) {
    if (HasInvalidPathChars(folder) || HasInvalidPathChars(name))
        throw Error("Invalid characters in path", TErrorCategory::Other);
    if (name.empty()) return std::wstring(folder);
    if (folder.empty() || IsRootedPath(name)) return std::wstring(name);
    std::wstring result(folder);
    if (!IsSeparator(result.back()) && result.back() != L':') result.push_back(L'\\');
    result.append(name);
    return result;
}

std::wstring FolderOf(std::wstring_view path) {
    const auto pos = path.find_last_of(L"\\/");
    if (pos == std::wstring_view::npos) return {};
    return FolderWithDelimiter(path.substr(0, pos));
}
