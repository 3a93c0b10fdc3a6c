#include "update/state/accepted_state.h"

TAcceptedState::TAcceptedState(std::wstring ASubKey) : FSubKey(std::move(ASubKey)) {}

TAcceptedSerial TAcceptedState::SerialOf(TAcceptedDocument ADocument) const {
    return TAcceptedSerial(FSubKey, ADocument == TAcceptedDocument::Rollout ? kRolloutSerialRegistryValue
                                                                            : kSerialRegistryValue);
}

std::optional<uint64_t> TAcceptedState::Highest(TAcceptedDocument ADocument) const {
    return SerialOf(ADocument).Highest();
}

void TAcceptedState::Raise(TAcceptedDocument ADocument, uint64_t ASerial) const {
    SerialOf(ADocument).Raise(ASerial);
}
