// Start-up time of a Windows program under Wine: from CreateProcessW to the first visible top-level
// window of the new process (of a given class, or any), polled every millisecond; the process is
// then ended. With "-" for the class, to the end of the process instead (a start that is meant to
// end by itself). Prints one line per run with the milliseconds, for bench/windows/startup.sh.
//   bench_startup.exe PROGRAM CLASS|*|- RUNS
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

struct Search {
    DWORD pid;
    const wchar_t* cls;
    bool found;
};

BOOL CALLBACK Visit(HWND AWnd, LPARAM AParam) {
    auto& search = *reinterpret_cast<Search*>(AParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(AWnd, &pid);
    if (pid != search.pid || !IsWindowVisible(AWnd)) return TRUE;
    wchar_t cls[128];
    if (wcscmp(search.cls, L"*") != 0 && (!GetClassNameW(AWnd, cls, 128) || wcscmp(cls, search.cls) != 0))
        return TRUE;
    search.found = true;
    return FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        std::fwprintf(stderr, L"usage: bench_startup PROGRAM CLASS|*|- RUNS\n");
        return 2;
    }
    const std::wstring program = argv[1];
    const int runs = _wtoi(argv[3]);
    std::wstring folder = program.substr(0, program.find_last_of(L'\\') + 1);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    for (int run = 0; run < runs; ++run) {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        std::wstring commandLine = L"\"" + program + L"\"";
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            folder.c_str(), &startup, &process)) {
            std::fwprintf(stderr, L"cannot start %ls: %lu\n", program.c_str(), GetLastError());
            return 1;
        }
        Search search{process.dwProcessId, argv[2], false};
        if (wcscmp(argv[2], L"-") == 0)
            search.found = WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0;
        for (int i = 0; i < 30000 && !search.found; ++i) {
            EnumWindows(&Visit, reinterpret_cast<LPARAM>(&search));
            if (!search.found) Sleep(1);
        }
        QueryPerformanceCounter(&end);
        TerminateProcess(process.hProcess, 0);
        WaitForSingleObject(process.hProcess, 10000);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        if (!search.found) {
            std::fwprintf(stderr, L"no window within 30 s\n");
            return 1;
        }
        std::wprintf(L"%.1f\n", (end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart);
        std::fflush(stdout);
    }
    return 0;
}
