// What following a trust root costs the workstation's real files updater under Wine, each figure
// beside its peer in the same run:
//   1. a no-op update with a root in force against the same update without one (same release,
//      same files, one signing key), over the reference file service: requests counted from the
//      service's own access log, time as the median of RUNS alternating runs;
//   2. catching up on VERSIONS new root versions over a link throttled to RATE bytes a second
//      (bench/staging/throttle.py in front of the service) against a no-op update on the same link
//      by a workstation that has caught up: the difference per version, and how many versions fit
//      in the update's deadline (Prazo Segundos, 900 s by default).
// Usage: bench_root_update SERVICE_BINARY THROTTLE_SCRIPT [RUNS] [VERSIONS] [RATE]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "base/string_convert.h"
#include "support/temp_folder.h"
#include "support/test_files.h"
#include "support/test_publisher.h"
#include "support/test_release_server.h"
#include "update/report/fetch_progress.h"
#include "update/state/accepted_state_text.h"
#include "update/trust/cng_signature_check.h"
#include "update/trust/document_text.h"
#include "update/trust/root_rules.h"
#include "update/updater/files_updater.h"
#include "../windows/linux_listener.h"

namespace {

using bench::LinuxPath;
using bench::Listener;
using bench::Median;

constexpr wchar_t kBenchKey[] = L"Software\\AureviaBench\\root";
constexpr int64_t kDay = 86400;

TPublicPoint PointOf(const TestPublisher& AKey) {
    return DecodePublisherKey(WideToUtf8(AKey.PublicKeyText()));
}

// A root whose versions are signed by two of three root keys and certify the one signing key.
class BenchRoot {
  public:
    BenchRoot(const TestPublisher& ASigner, std::wstring AServer) : FServer(std::move(AServer)) {
        const TPublicPoint point = PointOf(ASigner);
        FSigningKey = {KeyIdOf(FCheck, point), point,
                       static_cast<uint8_t>(TKeyRole::Manifest) | static_cast<uint8_t>(TKeyRole::Rollout),
                       UnixNowPlus(-kDay), UnixNowPlus(365 * kDay)};
    }

    std::string KeyId() const { return document_text::HexOf(FSigningKey.Id); }

    // Writes version AVersion; returns the SHA-256 of its document (the Raiz of version 1).
    std::string Publish(uint64_t AVersion) const {
        TRootDocument root;
        root.Product = "aurevia";
        root.Version = AVersion;
        root.ExpiresUnix = UnixNowPlus(365 * kDay);
        root.Threshold = 2;
        for (const TestPublisher& key : FRootKeys)
            root.RootKeys.push_back({KeyIdOf(FCheck, PointOf(key)), PointOf(key)});
        root.SigningKeys = {FSigningKey};
        const std::string bytes = EncodeRootDocument(root);
        std::vector<TRootSignature> signatures;
        for (const size_t key : {0u, 1u})
            signatures.push_back({KeyIdOf(FCheck, PointOf(FRootKeys[key])), FRootKeys[key].Sign(bytes)});
        WriteWholeFile(FServer + Utf8ToWide(RootDocumentPath(AVersion)), bytes);
        WriteWholeFile(FServer + Utf8ToWide(RootSignaturesPath(AVersion)), EncodeRootSignatures(signatures));
        return document_text::HexOf(OneShotSha256(bytes));
    }
    void Remove(uint64_t AVersion) const {
        DeleteFileW((FServer + Utf8ToWide(RootDocumentPath(AVersion))).c_str());
        DeleteFileW((FServer + Utf8ToWide(RootSignaturesPath(AVersion))).c_str());
    }

  private:
    std::wstring FServer;
    TCngSignatureCheck FCheck;
    TestPublisher FRootKeys[3];
    TSigningKey FSigningKey{};
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: bench_root_update SERVICE_BINARY THROTTLE_SCRIPT [RUNS] [VERSIONS] [RATE]\n");
        return 2;
    }
    const std::wstring serviceBinary = argv[1], throttle = argv[2];
    const int runs = argc > 3 ? _wtoi(argv[3]) : 7;
    const uint64_t versions = argc > 4 ? static_cast<uint64_t>(_wtoi(argv[4])) : kMostRootVersionsPerUpdate;
    const int rate = argc > 5 ? _wtoi(argv[5]) : 125000;  // 1 Mbit/s
    RegDeleteTreeW(HKEY_CURRENT_USER, kBenchKey);

    // One release of a module and 40 shared files, on two servers: one without a root, one with.
    std::vector<TestReleaseFile> files = {{"Module.exe", std::string(256 * 1024, 'm'), UnixNowPlus(-kDay)}};
    for (int i = 0; i < 40; ++i)
        files.push_back({"shared" + std::to_string(i) + ".dll",
                         std::string(16 * 1024, static_cast<char>('a' + i % 26)), UnixNowPlus(-kDay)});
    TempFolder plainServer(L"Z:\\tmp\\"), rootServer(L"Z:\\tmp\\"), scratch(L"Z:\\tmp\\");
    TempFolder plainLocal, rootLocal, walkLocal, caughtLocal;
    const TestPublisher publisher;
    const BenchRoot root(publisher, rootServer.Path());
    const TestReleaseServer plain(publisher, plainServer.Path()), rooted(publisher, rootServer.Path());
    plain.AddRelease(1, files);
    plain.SetRollout(TRollout{1, UnixNowPlus(30 * kDay), {{"geral", 1, {}, 100}}});
    rooted.AddRelease(1, files, [&](TRelease& ARelease) {
        ARelease.Key = root.KeyId();
        ARelease.Product = "aurevia";
        ARelease.Deployment = "producao";
    });
    rooted.SetRollout(
        TRollout{1, UnixNowPlus(30 * kDay), {{"geral", 1, {}, 100}}, root.KeyId(), "aurevia", "producao"});
    const std::string anchor = root.Publish(1);

    TUpdateVerification withoutRoot{publisher.PublicKeyText(), kBenchKey, "geral", "bench-machine"};
    TUpdateVerification withRoot = withoutRoot;
    withRoot.RootAnchor = anchor;
    const auto at = [](TUpdateVerification AVerification, const TempFolder& ALocal) {
        AVerification.StateFile = ALocal.Path() + kAcceptedStateFileName;
        return AVerification;
    };

    Listener plainService(bench::FileServiceCommand(serviceBinary, plainServer.Path()), scratch / L"plain-"),
        rootService(bench::FileServiceCommand(serviceBinary, rootServer.Path()), scratch / L"root-");
    if (!plainService.Port() || !rootService.Port()) {
        std::fprintf(stderr, "the reference file service did not start (%ls)\n", serviceBinary.c_str());
        return 1;
    }
    for (const auto& [local, url, verification] :
         {std::make_tuple(&plainLocal, plainService.URL(), at(withoutRoot, plainLocal)),
          std::make_tuple(&rootLocal, rootService.URL(), at(withRoot, rootLocal)),
          std::make_tuple(&walkLocal, rootService.URL(), at(withRoot, walkLocal)),
          std::make_tuple(&caughtLocal, rootService.URL(), at(withRoot, caughtLocal))}) {
        CreateDirectoryW((*local / L"Relatorio").c_str(), nullptr);
        if (!bench::UpdateOnce(local->Path(), L"", url, verification).clean) {
            std::fprintf(stderr, "the first update was refused\n");
            return 1;
        }
    }

    // 1. No-op updates, alternating.
    std::vector<double> plainMs, rootMs;
    size_t plainRequests = 0, rootRequests = 0;
    for (int i = 0; i < runs; ++i) {
        const size_t p0 = plainService.Lines(), r0 = rootService.Lines();
        const bench::UpdateRun p =
            bench::UpdateOnce(plainLocal.Path(), L"", plainService.URL(), at(withoutRoot, plainLocal));
        const bench::UpdateRun r =
            bench::UpdateOnce(rootLocal.Path(), L"", rootService.URL(), at(withRoot, rootLocal));
        if (!p.clean || !r.clean || p.bytes || r.bytes) std::fprintf(stderr, "a no-op update was not one\n");
        plainMs.push_back(p.ms);
        rootMs.push_back(r.ms);
        plainRequests = plainService.Lines() - p0;
        rootRequests = rootService.Lines() - r0;
    }
    std::printf("no-op update, %zu files, file service, median of %d alternating runs\n", files.size(), runs);
    std::printf("  without a root: %.1f ms, %zu requests\n", Median(plainMs), plainRequests);
    std::printf("  root in force:  %.1f ms, %zu requests\n", Median(rootMs), rootRequests);
    std::printf("  ratio root / without: time %.2f, requests %.2f\n", Median(rootMs) / Median(plainMs),
                static_cast<double>(rootRequests) / static_cast<double>(plainRequests));

    // 2. Catching up over the throttled link: walkLocal starts each run from version 1 again.
    const std::string startState = ReadWholeFile(walkLocal.Path() + kAcceptedStateFileName);
    for (uint64_t version = 2; version <= versions + 1; ++version) root.Publish(version);
    Listener link(L"python3 " + LinuxPath(throttle) + L" " + std::to_wstring(rootService.Port()) + L" " +
                      std::to_wstring(rate),
                  scratch / L"link-");
    if (!link.Port()) {
        std::fprintf(stderr, "the throttle did not start (%ls)\n", throttle.c_str());
        return 1;
    }
    // Caught up once, unthrottled: from then on a no-op on the link.
    bench::UpdateOnce(caughtLocal.Path(), L"", rootService.URL(), at(withRoot, caughtLocal));
    std::vector<double> walkMs, caughtMs;
    for (int i = 0; i < runs; ++i) {
        WriteWholeFile(walkLocal.Path() + kAcceptedStateFileName, startState);
        const bench::UpdateRun walk =
            bench::UpdateOnce(walkLocal.Path(), L"", link.URL(), at(withRoot, walkLocal));
        const bench::UpdateRun caught =
            bench::UpdateOnce(caughtLocal.Path(), L"", link.URL(), at(withRoot, caughtLocal));
        if (!walk.clean || !caught.clean) std::fprintf(stderr, "a throttled update was refused\n");
        walkMs.push_back(walk.ms);
        caughtMs.push_back(caught.ms);
    }
    const auto accepted = DecodeAcceptedState(ReadWholeFile(walkLocal.Path() + kAcceptedStateFileName));
    const double perVersion = (Median(walkMs) - Median(caughtMs)) / static_cast<double>(versions);
    const double deadlineMs = 900'000 - Median(caughtMs);
    std::printf("catching up %llu root versions at %d bytes/s (throttle.py), median of %d runs\n",
                static_cast<unsigned long long>(versions), rate, runs);
    std::printf("  walk: %.1f ms (reached version %llu), caught-up no-op: %.1f ms, ratio %.2f\n",
                Median(walkMs), static_cast<unsigned long long>(accepted.at("root").Serial), Median(caughtMs),
                Median(walkMs) / Median(caughtMs));
    std::printf(
        "  per version: %.1f ms; versions within the 900 s deadline: %.0f (one update walks at most %llu)\n",
        perVersion, perVersion > 0 ? deadlineMs / perVersion : 0.0,
        static_cast<unsigned long long>(kMostRootVersionsPerUpdate));
    for (uint64_t version = 2; version <= versions + 1; ++version) root.Remove(version);
    RegDeleteTreeW(HKEY_CURRENT_USER, kBenchKey);
    return 0;
}
