#pragma once
// URL building cases of the file service client, shared by the native and the Windows test programs.
#include <string_view>

struct NormalizeCase {
    std::wstring_view input, expected;
};

inline constexpr NormalizeCase kNormalizeCases[] = {
    {L"http://srv:8080", L"http://srv:8080"},
    {L"  http://srv:8080/files//  ", L"http://srv:8080/files"},
    {L"\t\r\nhttp://srv/\x01", L"http://srv"},
    {L"srv:8080", L"http://srv:8080"},
    {L"https://srv", L"https://srv"},
    {L"   ", L""},
    {L"", L""},
};

struct ListURLCase {
    std::wstring_view base, folder, mask;
    bool recursive;
    std::wstring_view expected;
};

inline constexpr ListURLCase kListURLCases[] = {
    // What the updater sends.
    {L"http://srv:8080", L"\\", L"*.*", true, L"http://srv:8080/folderlist?folder=%5C&mask=*.*&recursive="},
    {L"http://srv/files/", L"\\", L"*.*", true,
     L"http://srv/files/folderlist?folder=%5C&mask=*.*&recursive="},
    {L"srv:8080", L"", L"", false, L"http://srv:8080/folderlist"},
    {L"http://srv", L"", L"", true, L"http://srv/folderlist?recursive="},
    {L"http://srv", L"", L"*.dll", false, L"http://srv/folderlist?mask=*.dll"},
    // A blank becomes "+", the reserved characters %XX, "%" itself stays.
    {L"http://srv", L"Meus Relat\u00f3rios\\a&b=c", L"100%", false,
     L"http://srv/folderlist?folder=Meus+Relat%C3%B3rios%5Ca%26b%3Dc&mask=100%"},
    {L"http://srv", L"!#$&()+,/:;<=>?@[]^`{|}~\"'", L"-._*", false,
     L"http://srv/"
     L"folderlist?folder=%21%23%24%26%28%29%2B%2C%2F%3A%3B%3C%3D%3E%3F%40%5B%5D%5E%60%7B%7C%7D%7E%22%27"
     L"&mask=-._*"},
    // Characters in the base URL's path are encoded as path characters.
    {L"http://srv/my files", L"", L"", false, L"http://srv/my%20files/folderlist"},
};

struct DownloadURLCase {
    std::wstring_view base, name, expected;
};

inline constexpr DownloadURLCase kDownloadURLCases[] = {
    {L"http://srv:8080", L"Relatorio\\RptScheduling.rav",
     L"http://srv:8080/download?file=Relatorio%5CRptScheduling.rav"},
    {L"http://srv/files/", L"Admission.exe", L"http://srv/files//download?file=Admission.exe"},
    {L"srv", L"a b\u00e7*.dll", L"http://srv/download?file=a%20b%C3%A7%2A.dll"},
    {L"http://srv", L"a+b&c=d.txt", L"http://srv/download?file=a+b&c=d.txt"},
    {L"http://srv", L"it's%<>\"{}|^[]`#.txt",
     L"http://srv/download?file=it%27s%25%3C%3E%22%7B%7D%7C%5E%5B%5D%60%23.txt"},
    {L"http://srv\\sub", L"x", L"http://srv/sub/download?file=x"},
    {L"http://srv", L"\U0001F600.txt", L"http://srv/download?file=%F0%9F%98%80.txt"},
    {L" http://srv ", L"x ", L"http://srv%20/download?file=x"},
};
