#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "launcher/support/contacts.h"
#include "launcher/support/support_mail.h"
#include "windows/launcher/test_files.h"

namespace {

using namespace testfiles;

constexpr wchar_t kKey[] = L"SOFTWARE\\Microsoft\\Windows Messaging Subsystem";

// Sets the registry value that says whether Simple MAPI is installed (absent when null) and puts
// the previous one back afterwards.
class MapiRegistryValue {
  public:
    explicit MapiRegistryValue(const wchar_t* value) {
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_,
                        nullptr);
        wchar_t buffer[256];
        DWORD size = sizeof(buffer);
        DWORD type = 0;
        had_ = RegQueryValueExW(key_, L"MAPI", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) ==
               ERROR_SUCCESS;
        if (had_) previous_.assign(reinterpret_cast<const char*>(buffer), size), previousType_ = type;
        Set(value);
    }
    ~MapiRegistryValue() {
        if (had_)
            RegSetValueExW(key_, L"MAPI", 0, previousType_, reinterpret_cast<const BYTE*>(previous_.data()),
                           static_cast<DWORD>(previous_.size()));
        else
            RegDeleteValueW(key_, L"MAPI");
        RegCloseKey(key_);
    }
    void Set(const wchar_t* value) {
        if (!value) {
            RegDeleteValueW(key_, L"MAPI");
            return;
        }
        RegSetValueExW(key_, L"MAPI", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                       static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
    }

  private:
    HKEY key_ = nullptr;
    bool had_ = false;
    std::string previous_;
    DWORD previousType_ = REG_SZ;
};

std::map<std::string, std::string> ReadRecord(const fs::path& file) {
    std::map<std::string, std::string> fields;
    std::istringstream in(ReadBytes(file));
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return fields;
}

// The test MAPI32.DLL beside this program records each call in a file and answers a chosen result.
class SupportMail : public ::testing::Test {
  protected:
    TempFolder temp;
    fs::path record = temp.Dir() / L"mapi-call.txt";
    EnvScope recordEnv{L"AUREVIA_TEST_MAPI_RECORD", record.wstring()};
};

TEST_F(SupportMail, HandsMapiOneToRecipientByNameAndNothingElse) {
    MapiRegistryValue installed(L"1");
    TSimpleMapi mapi;
    const HWND parent = reinterpret_cast<HWND>(0x1234);
    EnvScope result(L"AUREVIA_TEST_MAPI_RESULT", L"0");

    ASSERT_EQ(SendSupportMail(mapi, parent), 0u);

    auto f = ReadRecord(record);
    const std::map<std::string, std::string> expected{
        {"session", "0"},
        {"uiParam", std::to_string(0x1234)},
        {"flags", "9"},
        {"reserved", "0"},
        {"ulReserved", "0"},
        {"subject", "(null)"},
        {"noteText", "(null)"},
        {"messageType", "(null)"},
        {"dateReceived", "(null)"},
        {"conversationID", "(null)"},
        {"messageFlags", "0"},
        {"originator", "(null)"},
        {"recipCount", "1"},
        {"fileCount", "0"},
        {"files", "(null)"},
        {"recip.ulReserved", "0"},
        {"recip.class", "1"},
        {"recip.name", "suporte@example.com"},
        {"recip.address", "(null)"},
        {"recip.eidSize", "0"},
        {"recip.entryID", "(null)"},
    };
    EXPECT_EQ(f, expected);
}

TEST_F(SupportMail, TheMailProgramsResultComesBackUnchanged) {
    MapiRegistryValue installed(L"1");
    TSimpleMapi mapi;
    for (const ULONG code : {0ul, 1ul, 2ul, 3ul, 4ul, 14ul, 21ul, 26ul}) {
        EnvScope result(L"AUREVIA_TEST_MAPI_RESULT", std::to_wstring(code));
        EXPECT_EQ(SendSupportMail(mapi, nullptr), code);
    }
}

TEST_F(SupportMail, WithoutSimpleMapiInstalledTheSendIsAbandonedUnsent) {
    EnvScope result(L"AUREVIA_TEST_MAPI_RESULT", L"0");
    for (const wchar_t* value : {static_cast<const wchar_t*>(nullptr), L"0", L"", L"1 ", L"11"}) {
        MapiRegistryValue notInstalled(value);
        EXPECT_FALSE(SimpleMapiInstalled()) << (value ? value : L"(absent)");
        TSimpleMapi mapi;
        EXPECT_EQ(SendSupportMail(mapi, nullptr), static_cast<ULONG>(MAPI_USER_ABORT));
        EXPECT_FALSE(Exists(record)) << "the library must not be called";
    }
}

TEST_F(SupportMail, TheRegistryIsReadOnlyOnTheFirstSend) {
    MapiRegistryValue value(L"0");
    TSimpleMapi mapi;
    EnvScope result(L"AUREVIA_TEST_MAPI_RESULT", L"0");
    EXPECT_EQ(SendSupportMail(mapi, nullptr), static_cast<ULONG>(MAPI_USER_ABORT));
    value.Set(L"1");
    EXPECT_EQ(SendSupportMail(mapi, nullptr), static_cast<ULONG>(MAPI_USER_ABORT))
        << "decided on the first send";

    TSimpleMapi installedAtFirstSend;
    EXPECT_EQ(SendSupportMail(installedAtFirstSend, nullptr), 0u);
    value.Set(nullptr);
    EXPECT_EQ(SendSupportMail(installedAtFirstSend, nullptr), 0u) << "the library stays loaded";
}

}  // namespace
