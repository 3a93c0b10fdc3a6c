#include "update/trust/cng_signature_check.h"

#include "update/trust/cng.h"
#include "update/trust/publisher_key.h"

TSha256 TCngSignatureCheck::Sha256(std::string_view ABytes) const { return Sha256Of(ABytes); }

bool TCngSignatureCheck::Verifies(const TPublicPoint& AKey, std::string_view ABytes,
                                  std::string_view ASignature) const {
    try {
        return TPublisherKey(EncodePublisherKey(AKey)).Verifies(ABytes, ASignature);
    } catch (const TManifestError&) {
        return false;
    }
}
