#pragma once
// Windows CNG for the verification of updates: owners of its handles and SHA-256 computed piece by
// piece. Every failure of the platform is raised as Error naming the call and its NTSTATUS.
#include <windows.h>
#include <bcrypt.h>

#include <cstddef>
#include <string_view>

#include "base/handles.h"
#include "update/trust/release_manifest.h"

namespace handle_detail {
inline void CloseAlgorithmIgnoringResult(BCRYPT_ALG_HANDLE h) { ::BCryptCloseAlgorithmProvider(h, 0); }
inline void DestroyKeyIgnoringResult(BCRYPT_KEY_HANDLE h) { ::BCryptDestroyKey(h); }
inline void DestroyHashIgnoringResult(BCRYPT_HASH_HANDLE h) { ::BCryptDestroyHash(h); }
}  // namespace handle_detail
using unique_bcrypt_alg = UniqueResource<BCRYPT_ALG_HANDLE, handle_detail::CloseAlgorithmIgnoringResult>;
using unique_bcrypt_key = UniqueResource<BCRYPT_KEY_HANDLE, handle_detail::DestroyKeyIgnoringResult>;
using unique_bcrypt_hash = UniqueResource<BCRYPT_HASH_HANDLE, handle_detail::DestroyHashIgnoringResult>;

// Raises Error("<call> failed: 0x...") unless AStatus is a success.
void CheckCng(NTSTATUS AStatus, const char* ACall);

// SHA-256 of content handed over in pieces. One hasher per thread; hashers on several threads at
// once are fine (each has its own hash object).
class TSha256Hasher {
  public:
    TSha256Hasher();
    void Update(const void* AData, size_t ASize);
    // The digest of everything since construction or the last Restart; starts over afterwards.
    TSha256 Finish();
    void Restart();

  private:
    unique_bcrypt_hash FHash;
};

TSha256 Sha256Of(std::string_view ABytes);
