// The server section read from real INI files through the private-profile interface.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>

#include "launcher/settings/configuration.h"
#include "cases/configuration_cases.h"

namespace {

// A temporary INI file that deletes itself; written as UTF-16 so that any text survives.
struct IniFile {
    std::filesystem::path path;
    IniFile() {
        wchar_t folder[MAX_PATH + 1], name[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, folder);
        GetTempFileNameW(folder, L"ini", 0, name);
        path = name;
    }
    ~IniFile() { DeleteFileW(path.c_str()); }
    void Write(const std::wstring& AText) const {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write("\xFF\xFE", 2);
        file.write(reinterpret_cast<const char*>(AText.data()),
                   static_cast<std::streamsize>(AText.size() * 2));
    }
};

}  // namespace

TEST(ServerConfigurationFile, ReadsTheCasesFromARealIniFile) {
    for (const ConfigurationCase& c : kConfigurationCases) {
        IniFile ini;
        std::wstring text = L"[Outra]\r\nLocal Exe=C:\\Wrong\r\n[Servidor]\r\n";
        if (c.local_exe) text += std::wstring(L"Local Exe=") + c.local_exe + L"\r\n";
        if (c.url) text += std::wstring(L"url=") + c.url + L"\r\n";
        ini.Write(text);
        const TServerConfiguration result = ReadServerConfiguration(ini.path.wstring());
        EXPECT_EQ(result.RemotePath, c.remote_path) << "case #" << (&c - kConfigurationCases);
        EXPECT_EQ(result.Url, c.stored_url) << "case #" << (&c - kConfigurationCases);
    }
}

TEST(ServerConfigurationFile, MissingFileGivesTheDefaults) {
    const TServerConfiguration result = ReadServerConfiguration(L"C:\\no-such-folder-aurevia\\Aurevia.ini");
    EXPECT_EQ(result.RemotePath, L"\\");
    EXPECT_EQ(result.Url, L"");
}

TEST(ServerConfigurationFile, PlatformStripsBlanksAndQuotes) {
    IniFile ini;
    ini.Write(L"[Servidor]\r\nLocal Exe =   \"S:\\Aurevia\"  \r\nurl=  'http://server:8080'  \r\n");
    const TServerConfiguration result = ReadServerConfiguration(ini.path.wstring());
    EXPECT_EQ(result.RemotePath, L"S:\\Aurevia\\");
    EXPECT_EQ(result.Url, L"http://server:8080");
}

TEST(ServerConfigurationFile, LongValuesKeepTheirFirst2047Characters) {
    IniFile ini;
    const std::wstring longFolder = L"S:\\" + std::wstring(2997, L'a');  // 3000 characters
    const std::wstring longUrl = L"http://s/" + std::wstring(2991, L'u');
    ini.Write(L"[Servidor]\r\nLocal Exe=" + longFolder + L"\r\nurl=" + longUrl + L"\r\n");
    const TServerConfiguration result = ReadServerConfiguration(ini.path.wstring());
    EXPECT_EQ(result.RemotePath, longFolder.substr(0, 2047) + L"\\");
    EXPECT_EQ(result.Url, longUrl.substr(0, 2047));
}
