#pragma once
// The root's signatures checked with Windows CNG: the launcher's side of ISignatureCheck.
#include "update/trust/root_rules.h"

class TCngSignatureCheck final : public ISignatureCheck {
  public:
    TSha256 Sha256(std::string_view ABytes) const override;
    // A point that is not on the curve verifies nothing.
    bool Verifies(const TPublicPoint& AKey, std::string_view ABytes,
                  std::string_view ASignature) const override;
};
