// What keeping the accepted state in the program folder costs beside the user's registry, each figure
// against its peer in the same run (median of RUNS, alternating):
//   1. a no-op update's read (what an update does when nothing new is accepted): the state file read
//      once against the registry values read;
//   2. an acceptance: the state file written (temporary, flushed, renamed) against a registry value set.
// Usage: bench_accepted_state [RUNS]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "support/test_files.h"
#include "update/state/accepted_state.h"

namespace {

constexpr wchar_t kFileUserKey[] = L"Software\\AureviaBench\\state-file";
constexpr wchar_t kRegistryUserKey[] = L"Software\\AureviaBench\\state-registry";

template <class F>
double Ms(F&& step) {
    const auto start = std::chrono::steady_clock::now();
    step();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 51;
    const TempFolder program;
    const std::wstring file = program / kAcceptedStateFileName;
    TSha256 bytes{};
    std::vector<double> fileRead, registryRead, fileRaise, registryRaise;
    for (int i = 1; i <= runs; ++i) {
        bytes[0] = static_cast<uint8_t>(i);
        fileRaise.push_back(
            Ms([&] { TAcceptedState(file, kFileUserKey).Raise(TAcceptedDocument::Rollout, i, bytes); }));
        registryRaise.push_back(
            Ms([&] { TAcceptedState(L"", kRegistryUserKey).Raise(TAcceptedDocument::Rollout, i, bytes); }));
        fileRead.push_back(
            Ms([&] { TAcceptedState(file, kFileUserKey).Accepted(TAcceptedDocument::Rollout); }));
        registryRead.push_back(
            Ms([&] { TAcceptedState(L"", kRegistryUserKey).Accepted(TAcceptedDocument::Rollout); }));
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\AureviaBench");
    const double fr = Median(fileRead), rr = Median(registryRead), fw = Median(fileRaise),
                 rw = Median(registryRaise);
    std::printf("no-op update's read:  state file %.3f ms, registry %.3f ms, ratio %.2f\n", fr, rr, fr / rr);
    std::printf("acceptance:           state file %.3f ms, registry %.3f ms, ratio %.2f\n", fw, rw, fw / rw);
    std::printf("(median of %d runs each, alternating)\n", runs);
    return 0;
}
