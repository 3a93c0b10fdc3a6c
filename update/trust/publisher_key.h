#pragma once
// The publisher's public key imported into CNG, and the check of a manifest's signature with it:
// ECDSA P-256 over the SHA-256 of the manifest's exact bytes.
#include <string_view>

#include "update/trust/cng.h"

class TPublisherKey {
  public:
    // AText: "ecdsa-p256:<base64 of 0x04 X Y>". Raises TManifestError when the text is not such a
    // key or CNG refuses the point.
    explicit TPublisherKey(std::string_view AText);

    // True only when ASignature is 64 bytes (r then s) that verify over AMessage.
    bool Verifies(std::string_view AMessage, std::string_view ASignature) const;

  private:
    unique_bcrypt_alg FAlgorithm;
    unique_bcrypt_key FKey;
};
