#pragma once
// Path helper cases shared by the native and the Windows test programs.
#include <string_view>

struct JoinCase {
    std::wstring_view folder, name, expected;  // expected empty with invalid = true: raises
    bool invalid = false;
};

inline constexpr JoinCase kJoinCases[] = {
    {L"C:\\Aurevia\\", L"Admission.exe", L"C:\\Aurevia\\Admission.exe"},
    {L"C:\\Aurevia", L"Admission.exe", L"C:\\Aurevia\\Admission.exe"},
    {L"C:\\Aurevia/", L"x.dll", L"C:\\Aurevia/x.dll"},
    {L"C:", L"x.dll", L"C:x.dll"},
    {L"", L"Admission.exe", L"Admission.exe"},
    {L"C:\\Aurevia\\", L"", L"C:\\Aurevia\\"},
    {L"C:\\Aurevia\\", L"D:\\Other\\x.exe", L"D:\\Other\\x.exe"},
    {L"C:\\Aurevia\\", L"\\Rooted\\x.exe", L"\\Rooted\\x.exe"},
    {L"\\\\server\\share", L"Relatorio\\Rpt.rav", L"\\\\server\\share\\Relatorio\\Rpt.rav"},
    {L"C:\\Aurevia\\", L"bad|name.exe", L"", true},
    {L"C:\\Au\"revia\\", L"x.exe", L"", true},
    {L"C:\\Aurevia\\", L"a<b", L"", true},
    {L"C:\\Aurevia\\", L"tab\there", L"", true},
};

struct DelimiterCase {
    std::wstring_view input, expected;
};

inline constexpr DelimiterCase kDelimiterCases[] = {
    {L"S:\\Aurevia", L"S:\\Aurevia\\"},       {L"S:\\Aurevia\\", L"S:\\Aurevia\\"}, {L"", L"\\"},
    {L"\\\\srv\\share", L"\\\\srv\\share\\"}, {L"S:\\Aurevia/", L"S:\\Aurevia/\\"},
};
