#include "app/configuration.h"

#include "base/paths.h"

#ifdef _WIN32
#include <windows.h>
#endif

TServerConfiguration ProcessServerSection(std::wstring_view ALocalExe, std::wstring_view AUrl) {
    return TServerConfiguration{FolderWithDelimiter(ALocalExe), std::wstring(AUrl)};
}

#ifdef _WIN32
std::wstring ReadIniString(const std::wstring& AFileName, const wchar_t* ASection, const wchar_t* AKey,
                           const wchar_t* ADefault) {
    std::wstring buffer(kIniBufferChars, L'\0');
    const DWORD length = GetPrivateProfileStringW(ASection, AKey, ADefault, buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), AFileName.c_str());
    buffer.resize(length);
    return buffer;
}

TServerConfiguration ReadServerConfiguration(const std::wstring& AIniFileName) {
    const std::wstring localExe = ReadIniString(AIniFileName, kServerSection, L"Local Exe", L"");
    const std::wstring url = ReadIniString(AIniFileName, kServerSection, L"url", L"");
    return ProcessServerSection(localExe, url);
}

std::wstring ReadPublisherKey(const std::wstring& AIniFileName) {
    return ReadIniString(AIniFileName, kSecuritySection, kPublisherKeyName, L"");
}

std::wstring ReadFleetUrl(const std::wstring& AIniFileName) {
    return ReadIniString(AIniFileName, kFleetSection, L"url", L"");
}
#endif
