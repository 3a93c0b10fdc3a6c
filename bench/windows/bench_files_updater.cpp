// Times one operation under Wine and prints its milliseconds on one line, for files_updater.sh:
//   bench_files_updater update LOCAL SERVER URL [KEY]   one update of the module "Module.exe" and the
//                                                      shared files (URL "-" for the server folder),
//                                                      verified with the publisher key KEY when given
//   bench_files_updater sign FOLDER                    signs FOLDER with a fresh key pair (manifest and
//                                                      signature beside its files); prints the key
//   bench_files_updater hash MB                        CNG SHA-256 of MB megabytes on one thread, in
//                                                      the verifier's 1 MiB pieces: prints MB/s
//   bench_files_updater run COMMAND LINE...            one run of a program (the peer, e.g. xcopy)
//   bench_files_updater swap SERVER LOCAL ROUNDS       the fetch's copy-then-swap of every file of SERVER
//                                                      into LOCAL, in rounds that alternate the updater's
//                                                      flushed swap with a bare write-through rename;
//                                                      prints the median milliseconds of each and the ratio
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "base/string_convert.h"
#include "support/test_publisher.h"
#include "update/trust/cng.h"
#include "update/stream/fetch_observer.h"
#include "update/disk/file_operations.h"
#include "update/updater/files_updater.h"

namespace {

double Milliseconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

// The bench's own accepted serial, removed after each run so that every run starts alike.
constexpr wchar_t kBenchSerialKey[] = L"Software\\AureviaBench";

int TimeUpdate(const std::wstring& local, const std::wstring& server, const std::wstring& url,
               const std::wstring& key) {
    bool done = false;
    TVerificationReport report;
    const auto start = std::chrono::steady_clock::now();
    try {
        TFilesUpdater::New(local, server, url, TUpdateVerification{key, kBenchSerialKey},
                           [&](const TVerificationReport& AReport) {
                               report = AReport;
                               done = true;
                               // The completion arrives as a sent message, which GetMessageW never returns.
                               PostQuitMessage(0);
                           })
            ->Execute(L"Module.exe", true);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "update failed: %s\n", e.what());
        return 1;
    }
    MSG msg;
    while (!done && GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    std::printf("%.1f\n", Milliseconds(start));
    RegDeleteTreeW(HKEY_CURRENT_USER, kBenchSerialKey);
    if (!report.Clean()) {
        std::fprintf(stderr, "verification: %s\n", WideToUtf8(VerificationMessage(report)).c_str());
        return 1;
    }
    return 0;
}

int HashRate(int megabytes) {
    const std::string piece(1u << 20, 'h');
    TSha256Hasher hasher;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < megabytes; ++i) hasher.Update(piece.data(), piece.size());
    hasher.Finish();
    std::printf("%.0f\n", megabytes * 1000.0 / Milliseconds(start));
    return 0;
}

int Sign(const std::wstring& folder) {
    const TestPublisher publisher;
    publisher.PublishFolder(folder, 1, UnixNowPlus(86400));
    std::printf("%s\n", WideToUtf8(publisher.PublicKeyText()).c_str());
    return 0;
}

int TimeRun(std::wstring commandLine) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    // The peer's own listing would dominate a console; it goes nowhere.
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE out = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    si.hStdOutput = si.hStdError = out;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    const auto start = std::chrono::steady_clock::now();
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "cannot run the peer (%lu)\n", GetLastError());
        return 1;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    std::printf("%.1f\n", Milliseconds(start));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(out);
    return 0;
}

class TNoObserver final : public IFetchObserver {
  public:
    void Begin(uint64_t, std::optional<uint64_t>) override {}
    void Received(const char*, size_t) override {}
};

double SwapRound(const std::vector<TListedFile>& AFiles, const std::wstring& AServer,
                 const std::wstring& ALocal, bool AFlush) {
    TNoObserver observer;
    const auto start = std::chrono::steady_clock::now();
    for (const TListedFile& file : AFiles) {
        const std::wstring target = ALocal + file.FullPath.substr(AServer.size());
        ForceDirectories(target.substr(0, target.find_last_of(L'\\')));
        const std::wstring temporary = TemporaryNameBeside(target);
        CopyFileNoOverwrite(file.FullPath, temporary, observer);
        if (AFlush) {
            ReplaceWithTemporary(temporary, target);
        } else if (!MoveFileExW(temporary.c_str(), target.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            std::fprintf(stderr, "rename failed (%lu)\n", GetLastError());
        }
    }
    return Milliseconds(start);
}

int TimeSwaps(const std::wstring& AServer, const std::wstring& ALocal, int ARounds) {
    const std::vector<TListedFile> files = ListFilesUnder(AServer);
    std::vector<double> flushed, bare;
    for (int round = 0; round < ARounds; ++round) {
        // Alternating, so that the load of a shared machine falls on both alike.
        flushed.push_back(SwapRound(files, AServer, ALocal, true));
        bare.push_back(SwapRound(files, AServer, ALocal, false));
    }
    std::sort(flushed.begin(), flushed.end());
    std::sort(bare.begin(), bare.end());
    const double f = flushed[flushed.size() / 2], b = bare[bare.size() / 2];
    std::printf("swap files=%zu flushed=%.1fms bare=%.1fms flushed/bare=%.2f\n", files.size(), f, b, f / b);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"update" && (argc == 5 || argc == 6))
        return TimeUpdate(argv[2], argv[3], std::wstring(argv[4]) == L"-" ? L"" : argv[4],
                          argc == 6 ? argv[5] : L"");
    if (mode == L"sign" && argc == 3) return Sign(argv[2]);
    if (mode == L"hash" && argc == 3) return HashRate(_wtoi(argv[2]));
    if (mode == L"swap" && argc == 5) return TimeSwaps(argv[2], argv[3], _wtoi(argv[4]));
    if (mode == L"run" && argc > 2) {
        std::wstring commandLine;
        for (int i = 2; i < argc; ++i) commandLine += (i > 2 ? L" " : L"") + std::wstring(argv[i]);
        return TimeRun(commandLine);
    }
    std::fputs(
        "usage: bench_files_updater update LOCAL SERVER URL|- [KEY] | sign FOLDER | hash MB | run "
        "COMMAND...\n",
        stderr);
    return 2;
}
