#pragma once
// Everything the launcher is configured with, read once at start-up into one value and converted
// there (megabytes to bytes, seconds to durations); the window hands it to what needs it. Two
// sources: machine policy, and under it Aurevia.ini (configuration.h).
#include <string>
#include <vector>

#include "launcher/settings/configuration.h"

struct TSettings {
    // [Servidor] "Local Exe": the server folder, always ending in "\" ("\" when unset).
    std::wstring RemotePath = L"\\";
    // [Servidor] "url": the file service's base URL, exactly as read; empty: the server folder.
    std::wstring Url;
    // [Seguranca] "Chave Publica": the publisher's key; empty: updates are not verified.
    std::wstring PublisherKey;
    // [Seguranca] "Anel": the ring of a staged rollout (ProcessRing).
    std::string Ring = "geral";
    // [Seguranca] "Raiz": the SHA-256 (64 hex) of the root document the workstation starts from;
    // empty: no anchor (a root signed by the publisher's key is still followed).
    std::wstring RootAnchor;
    // [Seguranca] "Implantacao": the deployment whose documents are taken under a root; empty: the
    // one the first document accepted under the root named (kept in the state file).
    std::wstring Deployment;
    // [Limites]: the bounds of every update.
    TLimitsConfiguration Limits;
    // [Rede]: proxy and connections of every request, the background fetch and the object store.
    TNetworkConfiguration Network;
    // [Frota] "url": the fleet service the launcher reports to; empty: nothing is reported.
    std::wstring FleetUrl;
    // The settings machine policy gave ("Servidor\\url", ...); the rest came from Aurevia.ini.
    std::vector<std::wstring> FromPolicy;
};

// Whether the settings name a server folder or a file service; without either an update has nowhere
// to go.
inline bool HasServer(const TSettings& ASettings) {
    return !ASettings.Url.empty() || ASettings.RemotePath != L"\\";
}

#ifdef _WIN32
// The settings of the launcher installed in AProgramFolder (ending in "\").
TSettings ReadSettings(const std::wstring& AProgramFolder);
#endif
