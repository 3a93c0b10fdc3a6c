// The settings read from real INI files through the private-profile interface.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>

#include "launcher/settings/settings.h"
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
        const TSettings result = ReadIniSettings(ini.path.wstring());
        EXPECT_EQ(result.RemotePath, c.remote_path) << "case #" << (&c - kConfigurationCases);
        EXPECT_EQ(result.Url, c.stored_url) << "case #" << (&c - kConfigurationCases);
    }
}

TEST(ServerConfigurationFile, MissingFileGivesTheDefaults) {
    const TSettings result = ReadIniSettings(L"C:\\no-such-folder-aurevia\\Aurevia.ini");
    EXPECT_EQ(result.RemotePath, L"\\");
    EXPECT_EQ(result.Url, L"");
}

TEST(ServerConfigurationFile, PlatformStripsBlanksAndQuotes) {
    IniFile ini;
    ini.Write(L"[Servidor]\r\nLocal Exe =   \"S:\\Aurevia\"  \r\nurl=  'http://server:8080'  \r\n");
    const TSettings result = ReadIniSettings(ini.path.wstring());
    EXPECT_EQ(result.RemotePath, L"S:\\Aurevia\\");
    EXPECT_EQ(result.Url, L"http://server:8080");
}

TEST(ServerConfigurationFile, LongValuesKeepTheirFirst2047Characters) {
    IniFile ini;
    const std::wstring longFolder = L"S:\\" + std::wstring(2997, L'a');  // 3000 characters
    const std::wstring longUrl = L"http://s/" + std::wstring(2991, L'u');
    ini.Write(L"[Servidor]\r\nLocal Exe=" + longFolder + L"\r\nurl=" + longUrl + L"\r\n");
    const TSettings result = ReadIniSettings(ini.path.wstring());
    EXPECT_EQ(result.RemotePath, longFolder.substr(0, 2047) + L"\\");
    EXPECT_EQ(result.Url, longUrl.substr(0, 2047));
}

TEST(IniSettings, EverySectionIsReadIntoTheOneValueAndAMissingFileGivesTheDefaults) {
    IniFile ini;
    ini.Write(
        L"[Servidor]\r\nurl=http://server:8080\r\n[Seguranca]\r\nChave Publica=ABC\r\nAnel= Piloto "
        L"\r\nRaiz=ab01\r\nImplantacao=producao\r\n"
        L"[Limites]\r\nLista MB=2\r\nMinimo Bytes=x\r\nPrazo Segundos=60\r\n"
        L"[Rede]\r\nProxy= proxy.hospital:3128 \r\nConexoes=4\r\n"
        L"[Frota]\r\nurl=http://fleet:9090\r\n");
    const TSettings set = ReadIniSettings(ini.path.wstring());
    EXPECT_EQ(set.RemotePath, L"\\");
    EXPECT_EQ(set.Url, L"http://server:8080");
    EXPECT_EQ(set.PublisherKey, L"ABC");
    EXPECT_EQ(set.Ring, "piloto");
    EXPECT_EQ(set.RootAnchor, L"ab01");
    EXPECT_EQ(set.Deployment, L"producao");
    EXPECT_EQ(set.Limits.ListingBytes, uint64_t{2} << 20);
    EXPECT_EQ(set.Limits.MinBytes, TLimitsConfiguration{}.MinBytes) << "a malformed value keeps the default";
    EXPECT_EQ(set.Limits.Deadline, std::chrono::seconds(60));
    EXPECT_EQ(set.Network.Proxy, L"proxy.hospital:3128");
    EXPECT_EQ(set.Network.Connections, 4u);
    EXPECT_EQ(set.FleetUrl, L"http://fleet:9090");

    const TSettings none = ReadIniSettings(L"C:\\no-such-folder-aurevia\\Aurevia.ini");
    const TSettings defaults;
    EXPECT_EQ(none.RemotePath, defaults.RemotePath);
    EXPECT_EQ(none.PublisherKey, L"");
    EXPECT_EQ(none.Ring, "geral");
    EXPECT_EQ(none.RootAnchor, L"");
    EXPECT_EQ(none.Deployment, L"");
    EXPECT_EQ(none.Limits.ListingBytes, defaults.Limits.ListingBytes);
    EXPECT_EQ(none.Limits.Deadline, defaults.Limits.Deadline);
    EXPECT_EQ(none.Network.Proxy, L"");
    EXPECT_EQ(none.Network.Connections, 6u);
    EXPECT_EQ(none.FleetUrl, L"");
}

// Machine policy, as Group Policy writes it (HKLM\Software\Policies\Aurevia\<Section>, text values),
// over an INI file a user may have edited: each policy value wins, the rest come from the INI, and the
// settings say which came from policy. The policy key is removed again however the test ends.
TEST(MachinePolicy, APolicyValueWinsOverTheIniAndIsNamedAsSuch) {
    // A key of this test's own, read the way the launcher reads its own: tests that run beside this
    // one in the same Wine prefix must never see its values as the machine's policy.
    const std::wstring ownKey = L"Software\\Policies\\AureviaTest" + std::to_wstring(GetCurrentProcessId());
    const wchar_t* const kPolicyKey = ownKey.c_str();
    struct PolicyKey {
        const wchar_t* kPolicyKey;
        ~PolicyKey() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPolicyKey); }
        void Set(const wchar_t* ASection, const wchar_t* AName, const std::wstring& AValue) const {
            const std::wstring key = std::wstring(kPolicyKey) + L"\\" + ASection;
            ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), AName, REG_SZ, AValue.c_str(),
                                      static_cast<DWORD>((AValue.size() + 1) * sizeof(wchar_t))),
                      ERROR_SUCCESS);
        }
    } policy{kPolicyKey};
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPolicyKey);
    IniFile ini;
    ini.Write(
        L"[Servidor]\r\nLocal Exe=\\\\user-edited\\share\r\nurl=http://user-edited:1\r\n"
        L"[Seguranca]\r\nChave "
        L"Publica=USERKEY\r\nAnel=piloto\r\nRaiz=userroot\r\nImplantacao=homologacao\r\n[Limites]\r\nPrazo "
        L"Segundos=5\r\n"
        L"[Rede]\r\nProxy=user-edited:8080\r\n");
    policy.Set(L"Servidor", L"Local Exe", L"\\\\fileserver\\Aurevia");
    policy.Set(L"Seguranca", L"Chave Publica", L"ITKEY");
    policy.Set(L"Seguranca", L"Raiz", L"itroot");
    policy.Set(L"Seguranca", L"Implantacao", L"producao");
    policy.Set(L"Limites", L"Prazo Segundos", L"600");
    policy.Set(L"Rede", L"Proxy", L"DIRECT");
    const DWORD seconds = 120;  // a number, as a hand-made .reg file might hold it
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, (std::wstring(kPolicyKey) + L"\\Limites").c_str(),
                              L"Minimo Segundos", REG_DWORD, &seconds, sizeof seconds),
              ERROR_SUCCESS);

    const TSettings set = ReadSettingsFrom(ini.path.wstring(), kPolicyKey);
    EXPECT_EQ(set.RemotePath, L"\\\\fileserver\\Aurevia\\");
    EXPECT_EQ(set.PublisherKey, L"ITKEY");
    EXPECT_EQ(set.RootAnchor, L"itroot");
    EXPECT_EQ(set.Deployment, L"producao");
    EXPECT_EQ(set.Limits.Deadline, std::chrono::seconds(600));
    EXPECT_EQ(set.Limits.MinWindow, std::chrono::seconds(120));
    EXPECT_EQ(set.Url, L"http://user-edited:1") << "not set by policy: the INI's";
    EXPECT_EQ(set.Ring, "piloto");
    EXPECT_EQ(set.Network.Proxy, L"DIRECT");
    EXPECT_EQ(set.FromPolicy, (std::vector<std::wstring>{L"Servidor\\Local Exe", L"Seguranca\\Chave Publica",
                                                         L"Seguranca\\Raiz", L"Seguranca\\Implantacao",
                                                         L"Limites\\Minimo Segundos",
                                                         L"Limites\\Prazo Segundos", L"Rede\\Proxy"}));

    EXPECT_EQ(ReadIniSettings(ini.path.wstring()).PublisherKey, L"USERKEY") << "the INI alone";

    // A policy value longer than any INI value can be is cut where the INI would cut it, not
    // dropped in favour of the user's INI.
    const std::wstring longKey(3 * kIniBufferChars, L'K');
    policy.Set(L"Seguranca", L"Chave Publica", longKey);
    const TSettings cut = ReadSettingsFrom(ini.path.wstring(), kPolicyKey);
    EXPECT_EQ(cut.PublisherKey, longKey.substr(0, kIniBufferChars - 1));
}
