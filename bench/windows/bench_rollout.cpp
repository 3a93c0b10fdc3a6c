// Release control measured under Wine, each figure beside its peer in the same run:
//   1. the bytes a workstation fetches for a release that changes 3 of the shared files and the
//      module, against the full fetch of the first release (folder);
//   2. a no-op refresh in rollout mode against a no-op refresh with the flat signed manifest, over the
//      server folder and over the reference file service (requests counted from the service's own
//      access log), median of RUNS runs each, alternating.
// Usage: bench_rollout SERVICE_BINARY [SHARED_KB] [MODULE_KB] [RUNS]
//   SERVICE_BINARY: the Linux path of aurevia-fileservice (the script passes the native tree's).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/string_convert.h"
#include "support/test_files.h"
#include "support/test_publisher.h"
#include "support/test_release_server.h"
#include "update/updater/files_updater.h"
#include "update/updater/shared_files.h"
#include "update/report/fetch_progress.h"
#include "linux_listener.h"

namespace {

using bench::Median;

constexpr wchar_t kBenchKey[] = L"Software\\AureviaBench\\rollout";

std::string Random(size_t size, std::mt19937_64& random) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i += 8) {
        const uint64_t value = random();
        std::memcpy(bytes.data() + i, &value, std::min<size_t>(8, size - i));
    }
    return bytes;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_rollout SERVICE_BINARY [SHARED_KB] [MODULE_KB] [RUNS]\n");
        return 2;
    }
    const std::wstring serviceBinary = argv[1];
    const size_t sharedKb = argc > 2 ? _wtoi(argv[2]) : 512, moduleKb = argc > 3 ? _wtoi(argv[3]) : 4096;
    const int runs = argc > 4 ? _wtoi(argv[4]) : 7;
    std::mt19937_64 random(42);
    RegDeleteTreeW(HKEY_CURRENT_USER, kBenchKey);

    // Release 1: the module and every shared file; release 2 changes the module and three shared files.
    std::vector<std::string> names = {"Module.exe"};
    for (const std::wstring_view name : kSharedFiles) {
        const std::string utf8 = WideToUtf8(name);
        if (std::none_of(names.begin(), names.end(),
                         [&](const std::string& n) { return _stricmp(n.c_str(), utf8.c_str()) == 0; }))
            names.push_back(utf8);
    }
    const int64_t age1 = UnixUtc(2026, 11, 1, 9, 0, 0), age2 = UnixUtc(2026, 12, 1, 9, 0, 0);
    std::vector<TestReleaseFile> release1, release2;
    for (const std::string& name : names) {
        const size_t size = (name == "Module.exe" ? moduleKb : sharedKb) * 1024;
        release1.push_back({name, Random(size, random), age1});
    }
    release2 = release1;
    for (size_t i : {size_t{0}, size_t{3}, size_t{17}, size_t{31}}) {
        release2[i].Content = Random(release2[i].Content.size(), random);
        release2[i].AgeUnix = age2;
    }

    // The services run as Linux processes: what they read and write must be on Z:.
    TempFolder server(L"Z:\\tmp\\"), flat(L"Z:\\tmp\\"), scratch(L"Z:\\tmp\\"), rolloutLocal, flatLocal;
    const TestPublisher publisher;
    const TestReleaseServer releases(publisher, server.Path());
    releases.AddRelease(1, release1);
    releases.AddRelease(2, release2);
    for (const TestReleaseFile& file : release2) WriteFileAt(flat / Utf8ToWide(file.Name), file.Content, 0);
    for (const TestReleaseFile& file : release2) {
        const std::wstring path = flat / Utf8ToWide(file.Name);
        const uint64_t ticks = static_cast<uint64_t>(file.AgeUnix + 11644473600) * 10000000u;
        const FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        SetFileTime(h, nullptr, nullptr, &ft);
        CloseHandle(h);
    }
    publisher.PublishFolder(flat.Path(), 1, UnixNowPlus(86400));
    for (const TempFolder* local : {&rolloutLocal, &flatLocal})
        CreateDirectoryW((*local / L"Relatorio").c_str(), nullptr);

    TUpdateVerification verification{publisher.PublicKeyText(), kBenchKey, "geral", "bench-machine"};

    // 1. Bytes: the first release whole, then the second over it.
    releases.SetRollout(TRollout{1, UnixNowPlus(86400), {{"geral", 1, {}, 100}}});
    const bench::UpdateRun full = bench::UpdateOnce(rolloutLocal.Path(), server.Path(), L"", verification);
    releases.SetRollout(TRollout{2, UnixNowPlus(86400), {{"geral", 2, 1, 100}}});
    const bench::UpdateRun delta = bench::UpdateOnce(rolloutLocal.Path(), server.Path(), L"", verification);
    if (!full.clean || !delta.clean) {
        std::fprintf(stderr, "an update was refused\n");
        return 1;
    }
    std::printf(
        "files: %zu (module %zu KB, shared %zu KB each); release 2 changes the module and 3 shared files\n",
        names.size(), moduleKb, sharedKb);
    std::printf("bytes  full fetch of release 1: %llu  (%.0f ms)\n",
                static_cast<unsigned long long>(full.bytes), full.ms);
    std::printf("bytes  update to release 2:     %llu  (%.0f ms)\n",
                static_cast<unsigned long long>(delta.bytes), delta.ms);
    std::printf("ratio  update / full fetch: %.3f\n",
                static_cast<double>(delta.bytes) / static_cast<double>(full.bytes));

    // 2. No-op refreshes. The flat workstation first gets the flat folder whole.
    bench::UpdateOnce(flatLocal.Path(), flat.Path(), L"", verification);
    bench::Listener rolloutService(bench::FileServiceCommand(serviceBinary, server.Path()), scratch / L"r-"),
        flatService(bench::FileServiceCommand(serviceBinary, flat.Path()), scratch / L"f-");
    const bool service = rolloutService.Up() && flatService.Up();
    std::vector<double> folderRollout, folderFlat, serviceRollout, serviceFlat;
    size_t rolloutRequests = 0, flatRequests = 0;
    for (int i = 0; i < runs; ++i) {
        folderRollout.push_back(bench::UpdateOnce(rolloutLocal.Path(), server.Path(), L"", verification).ms);
        folderFlat.push_back(bench::UpdateOnce(flatLocal.Path(), flat.Path(), L"", verification).ms);
        if (!service) continue;
        const size_t r0 = rolloutService.Lines(), f0 = flatService.Lines();
        const bench::UpdateRun r =
            bench::UpdateOnce(rolloutLocal.Path(), L"", rolloutService.URL(), verification);
        const bench::UpdateRun f = bench::UpdateOnce(flatLocal.Path(), L"", flatService.URL(), verification);
        if (r.bytes || f.bytes) std::fprintf(stderr, "a no-op refresh fetched something\n");
        serviceRollout.push_back(r.ms);
        serviceFlat.push_back(f.ms);
        rolloutRequests = rolloutService.Lines() - r0;
        flatRequests = flatService.Lines() - f0;
    }
    std::printf("no-op  folder  rollout %.1f ms, flat signed %.1f ms, ratio %.2f (median of %d)\n",
                Median(folderRollout), Median(folderFlat), Median(folderRollout) / Median(folderFlat), runs);
    if (service) {
        std::printf(
            "no-op  service rollout %.1f ms / %zu requests, flat signed %.1f ms / %zu requests, time ratio "
            "%.2f\n",
            Median(serviceRollout), rolloutRequests, Median(serviceFlat), flatRequests,
            Median(serviceRollout) / Median(serviceFlat));
    } else {
        std::printf("no-op  service: the reference file service did not start (%ls)\n",
                    serviceBinary.c_str());
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, kBenchKey);
    return 0;
}
