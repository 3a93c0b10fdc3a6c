#pragma once
// The launcher's settings for verified updates, as the plan (update/plan/release_plan.h) takes them.
#include <string>

#include "update/state/accepted_serial.h"
#include "update/state/accepted_state_text.h"

struct TUpdateVerification {
    // Aurevia.ini, [Seguranca] "Chave Publica". Empty: updates are not verified at all.
    std::wstring PublisherKey;
    // The registry key under HKEY_CURRENT_USER where earlier launchers kept what they accepted
    // (migrated into StateFile when found there).
    std::wstring SerialKey = kSerialRegistryKey;
    // Aurevia.ini, [Seguranca] "Anel": the ring whose entry of a rollout document applies.
    std::string Ring = "geral";
    // What the workstation's rollout number is derived from (the machine's MachineGuid); stays on
    // the workstation.
    std::string MachineValue{};
    // The installation's state file (update/state/accepted_state.h): the launcher's is
    // kAcceptedStateFileName in its program folder. Empty: the user's registry key alone.
    std::wstring StateFile{};
    // Aurevia.ini, [Seguranca] "Raiz": the SHA-256 (64 hex) of the root document to start from.
    // Empty: a root is followed only once the publisher key signed its first version (the migration
    // from one key), or once this installation accepted one.
    std::string RootAnchor{};
    // Aurevia.ini, [Seguranca] "Implantacao": the deployment (server folder) this workstation takes
    // documents of under a root. Empty: the one the first document it accepted under the root named,
    // kept in StateFile.
    std::string Deployment{};

    bool Enabled() const { return !PublisherKey.empty() || !RootAnchor.empty(); }
};
