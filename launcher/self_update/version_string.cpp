#include "launcher/self_update/version_string.h"

std::wstring VersionPartText(std::uint16_t part) {
    const std::wstring digits = std::to_wstring(static_cast<unsigned>(part) + 100u);
    return digits.substr(2, 2);
}

TFileVersion FileVersionParts(std::uint32_t fileVersionMS, std::uint32_t fileVersionLS) {
    const auto high = [](std::uint32_t v) { return static_cast<std::uint16_t>(v >> 16); };
    const auto low = [](std::uint32_t v) { return static_cast<std::uint16_t>(v & 0xFFFFu); };
    return {high(fileVersionMS), low(fileVersionMS), high(fileVersionLS), low(fileVersionLS)};
}

std::wstring VersionString(std::uint32_t fileVersionMS, std::uint32_t fileVersionLS) {
    return VersionString(FileVersionParts(fileVersionMS, fileVersionLS));
}

std::wstring VersionString(const TFileVersion& AVersion) {
    return VersionPartText(AVersion[0]) + L"." + VersionPartText(AVersion[1]) + L"." +
           VersionPartText(AVersion[2]) + L"." + VersionPartText(AVersion[3]);
}
