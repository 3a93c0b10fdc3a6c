#pragma once
// The release manifest of a source, read into memory and judged (update/trust/manifest_acceptance.h).
// Runs on the UI thread: the updater before listing, the self-update and the support tools (with
// the server folder's source).
#include "update/source/update_source.h"
#include "update/trust/manifest_acceptance.h"

// The manifest and its signature as the source holds them, each within its limit; a missing one is
// empty, with the reason in Missing. Without the manifest the signature is not asked for.
TManifestBytes ReadSourceManifest(IUpdateSource& ASource);

// The source's manifest, accepted or refused.
TAcceptance AcceptSourceManifest(const TUpdateVerification& AVerification, IUpdateSource& ASource);
