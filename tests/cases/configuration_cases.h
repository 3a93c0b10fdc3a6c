#pragma once
// Server-section cases: the values of Aurevia.ini (null: key absent) and what the launcher keeps.
// The native tests feed the values straight in; the Windows tests write them into a real INI file.

struct ConfigurationCase {
    const wchar_t* local_exe;  // nullptr: the key is absent
    const wchar_t* url;        // nullptr: the key is absent
    const wchar_t* remote_path;
    const wchar_t* stored_url;
};

inline constexpr ConfigurationCase kConfigurationCases[] = {
    {L"S:\\Aurevia", nullptr, L"S:\\Aurevia\\", L""},
    {L"S:\\Aurevia\\", nullptr, L"S:\\Aurevia\\", L""},
    {L"\\\\fileserver\\Aurevia", L"http://fileserver:8080", L"\\\\fileserver\\Aurevia\\",
     L"http://fileserver:8080"},
    {L"", L"", L"\\", L""},
    {nullptr, nullptr, L"\\", L""},
    {nullptr, L"http://10.0.0.5:9000/files/", L"\\", L"http://10.0.0.5:9000/files/"},
    {L"S:/Aurevia/", nullptr, L"S:/Aurevia/\\", L""},
};
