#include "support/test_release_server.h"

#include <windows.h>

#include <algorithm>

#include "base/string_convert.h"
#include "support/test_files.h"

namespace {

std::wstring Backslashed(std::string_view APath) {
    std::wstring name = Utf8ToWide(APath);
    std::replace(name.begin(), name.end(), L'/', L'\\');
    return name;
}

}  // namespace

TestReleaseServer::TestReleaseServer(const TestPublisher& APublisher, std::wstring AFolder)
    : FPublisher(APublisher), FFolder(std::move(AFolder)) {}

TRelease TestReleaseServer::AddRelease(uint64_t ASerial, const std::vector<TestReleaseFile>& AFiles,
                                       const std::function<void(TRelease&)>& ABeforeSigning) const {
    TRelease release{ASerial, UnixUtc(2026, 12, 10, 20, 0, 0), "", {}};
    for (const TestReleaseFile& file : AFiles) {
        const TSha256 digest = OneShotSha256(file.Content);
        const std::wstring object = FFolder + Backslashed(ObjectPath(digest));
        if (!PathExists(object)) WriteWholeFile(object, file.Content);
        release.Files.push_back(TReleaseFile{file.Name, file.Content.size(), digest, file.AgeUnix, {}});
    }
    if (ABeforeSigning) ABeforeSigning(release);
    const std::string bytes = EncodeRelease(release);
    const std::wstring base = FFolder + Utf8ToWide(kReleasesFolderName) + L"\\" + std::to_wstring(ASerial);
    WriteWholeFile(base + L".json", bytes);
    WriteWholeFile(base + L".sig", FPublisher.Sign(bytes));
    return release;
}

std::pair<std::string, std::string> TestReleaseServer::SetRollout(const TRollout& ARollout) const {
    std::pair<std::string, std::string> document{EncodeRollout(ARollout), ""};
    document.second = FPublisher.Sign(document.first);
    ServeRollout(document);
    return document;
}

void TestReleaseServer::ServeRollout(const std::pair<std::string, std::string>& ADocument) const {
    WriteWholeFile(FFolder + Utf8ToWide(kRolloutFileName), ADocument.first);
    WriteWholeFile(FFolder + Utf8ToWide(kRolloutSignatureFileName), ADocument.second);
}

void TestReleaseServer::RemoveRollout() const {
    DeleteFileW((FFolder + Utf8ToWide(kRolloutFileName)).c_str());
    DeleteFileW((FFolder + Utf8ToWide(kRolloutSignatureFileName)).c_str());
}

std::wstring TestReleaseServer::ObjectFile(std::string_view AContent) const {
    return FFolder + Backslashed(ObjectPath(OneShotSha256(AContent)));
}

int64_t UnixUtc(int year, int month, int day, int hour, int minute, int second) {
    const SYSTEMTIME st{static_cast<WORD>(year),
                        static_cast<WORD>(month),
                        0,
                        static_cast<WORD>(day),
                        static_cast<WORD>(hour),
                        static_cast<WORD>(minute),
                        static_cast<WORD>(second),
                        0};
    FILETIME ft{};
    SystemTimeToFileTime(&st, &ft);
    const uint64_t ticks = (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000u) - 11644473600;
}

int64_t UnixAgeOf(const std::wstring& APath) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(APath.c_str(), GetFileExInfoStandard, &data)) return -1;
    const uint64_t ticks =
        (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000u) - 11644473600;
}
