#include "update/trust/cng.h"

#include <algorithm>
#include <cstdio>

#include "base/error.h"

void CheckCng(NTSTATUS AStatus, const char* ACall) {
    if (AStatus >= 0) return;
    char text[96];
    std::snprintf(text, sizeof(text), "%s failed: 0x%08lX", ACall, static_cast<unsigned long>(AStatus));
    throw Error(text, TErrorCategory::Other, NtStatusCode(static_cast<uint32_t>(AStatus)));
}

namespace {

// Opened once for the process and never closed: every hasher of every thread shares it, which CNG
// allows for hash objects.
BCRYPT_ALG_HANDLE Sha256Provider() {
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        CheckCng(BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0),
                 "BCryptOpenAlgorithmProvider(SHA256)");
        return handle;
    }();
    return provider;
}

}  // namespace

TSha256Hasher::TSha256Hasher() { Restart(); }

void TSha256Hasher::Restart() {
    // Without a buffer of ours CNG allocates the hash object itself and frees it with the handle.
    CheckCng(BCryptCreateHash(Sha256Provider(), FHash.put(), nullptr, 0, nullptr, 0, 0), "BCryptCreateHash");
}

void TSha256Hasher::Update(const void* AData, size_t ASize) {
    auto* data = static_cast<PUCHAR>(const_cast<void*>(AData));
    while (ASize > 0) {
        const ULONG piece = static_cast<ULONG>(std::min<size_t>(ASize, 1u << 30));
        CheckCng(BCryptHashData(FHash.get(), data, piece, 0), "BCryptHashData");
        data += piece;
        ASize -= piece;
    }
}

TSha256 TSha256Hasher::Finish() {
    TSha256 digest{};
    CheckCng(BCryptFinishHash(FHash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0),
             "BCryptFinishHash");
    Restart();
    return digest;
}

TSha256 Sha256Of(std::string_view ABytes) {
    TSha256Hasher hasher;
    hasher.Update(ABytes.data(), ABytes.size());
    return hasher.Finish();
}
