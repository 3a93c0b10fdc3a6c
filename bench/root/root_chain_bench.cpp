// What following the trust root costs a workstation's update in computation: judging a chain of
// root versions (each signed by 2 of 3 old and 2 of 3 new root keys) against its peer in the same
// run, the one signature check a no-op update makes today (the rollout document's). Prints ratios;
// never fails.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tools/publish/publisher_key.h"
#include "tools/publish/root_signature_check.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Signer {
    std::vector<publish::Key> Keys;
    TKeyId Id(size_t i, const ISignatureCheck& check) const {
        return KeyIdOf(check, publish::PublicPointOf(Keys[i].get()));
    }
};

TRootVersionBytes Version(const Signer& signer, const ISignatureCheck& check, uint64_t version) {
    TRootDocument root;
    root.Product = "aurevia";
    root.Version = version;
    root.ExpiresUnix = 4'102'444'800;  // 2100
    root.Threshold = 2;
    for (size_t i = 0; i < 3; ++i)
        root.RootKeys.push_back({signer.Id(i, check), publish::PublicPointOf(signer.Keys[i].get())});
    for (size_t i = 3; i < 5; ++i)
        root.SigningKeys.push_back(
            {signer.Id(i, check), publish::PublicPointOf(signer.Keys[i].get()), 3, 0, 4'102'444'800});
    TRootVersionBytes bytes{EncodeRootDocument(root), ""};
    std::vector<TRootSignature> signatures;
    for (size_t i = 0; i < 2; ++i) {
        const publish::RawSignature raw = publish::Sign(signer.Keys[i].get(), bytes.Document);
        signatures.push_back(
            {signer.Id(i, check), std::string(reinterpret_cast<const char*>(raw.data()), raw.size())});
    }
    bytes.Signatures = EncodeRootSignatures(signatures);
    return bytes;
}

template <class F>
double SecondsPer(int rounds, F&& step) {
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) step();
    return std::chrono::duration<double>(Clock::now() - start).count() / rounds;
}

}  // namespace

int main() {
    const publish::OpenSslSignatureCheck check;
    Signer signer;
    for (int i = 0; i < 5; ++i) signer.Keys.push_back(publish::GenerateKey());
    std::vector<TRootVersionBytes> chain;
    for (uint64_t v = 1; v <= 1 + kMostRootVersionsPerUpdate; ++v) chain.push_back(Version(signer, check, v));
    const TRootDocument one = DecodeRootDocument(chain[0].Document);

    const std::string rollout(600, 'r');  // a rollout document's size
    const publish::RawSignature raw = publish::Sign(signer.Keys[3].get(), rollout);
    const std::string signature(reinterpret_cast<const char*>(raw.data()), raw.size());
    const TPublicPoint point = publish::PublicPointOf(signer.Keys[3].get());
    const double peer = SecondsPer(200, [&] {
        if (!check.Verifies(point, rollout, signature)) std::abort();
    });
    std::printf("peer: one signature check (today's no-op update): %.1f us\n", peer * 1e6);
    for (const size_t versions : {size_t{0}, size_t{1}, size_t{8}, kMostRootVersionsPerUpdate}) {
        const std::vector<TRootVersionBytes> next(chain.begin() + 1,
                                                  chain.begin() + 1 + static_cast<long>(versions));
        const double cost = SecondsPer(versions > 8 ? 5 : 50, [&] {
            if (!JudgeRootChain(check, one, next, 1'800'000'000).Accepted()) std::abort();
        });
        std::printf("root chain of %2zu new versions: %8.1f us = %6.1f x the peer\n", versions, cost * 1e6,
                    cost / peer);
    }
}
