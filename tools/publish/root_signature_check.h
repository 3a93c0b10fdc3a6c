#pragma once
// The root's signatures checked with OpenSSL: the publisher's side of ISignatureCheck, so that the
// tool refuses to write a root version that a workstation would refuse.
#include "update/trust/root_rules.h"

namespace publish {

class OpenSslSignatureCheck final : public ISignatureCheck {
  public:
    TSha256 Sha256(std::string_view bytes) const override;
    // A point that is not on the curve verifies nothing.
    bool Verifies(const TPublicPoint& key, std::string_view bytes, std::string_view signature) const override;
};

}  // namespace publish
