// Downloads a list of files from the file service with one TRESTClientDownload::Download per file,
// all at once on their own threads, and prints the time taken, the bytes written and the process's
// peak working set. Usage: bench_client_download BASE_URL LOCAL_FOLDER NAME...
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "update/transport/rest_client.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        std::fwprintf(stderr, L"usage: bench_client_download BASE_URL LOCAL_FOLDER NAME...\n");
        return 2;
    }
    const std::wstring base = argv[1], folder = argv[2];
    std::vector<std::wstring> names(argv + 3, argv + argc);
    std::vector<int> ok(names.size(), 0);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (size_t i = 0; i < names.size(); ++i) {
        threads.emplace_back([&, i] {
            TRESTClientDownload client(base);
            ok[i] = client.Download(names[i], folder + L"\\" + std::to_wstring(i) + L".bin") ? 1 : 0;
        });
    }
    for (auto& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    unsigned long long bytes = 0;
    int failed = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!ok[i] || !GetFileAttributesExW((folder + L"\\" + std::to_wstring(i) + L".bin").c_str(),
                                            GetFileExInfoStandard, &data)) {
            ++failed;
            continue;
        }
        bytes += (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ticks = [](const FILETIME& t) {
        return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    const double cpuSeconds = (ticks(kernel) + ticks(user)) / 1e7;
    std::printf("seconds=%.3f bytes=%llu failed=%d peak_working_set_mb=%.1f cpu_seconds=%.3f\n", seconds,
                bytes, failed, memory.PeakWorkingSetSize / 1048576.0, cpuSeconds);
    return failed ? 1 : 0;
}
