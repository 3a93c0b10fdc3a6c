#pragma once
// The installation's state file (aurevia-state.json in the program folder): what this installation
// has accepted, by kind of signed document, as one small JSON text. Portable.
//   {"format":"aurevia-state/1","accepted":{"manifest":{"serial":1765400000,"sha256":"<64 hex>"},
//                                           "rollout":{"serial":1765400002}}}
// A document's "sha256" is absent while its serial came without bytes (migrated from the user's
// registry). Under a trust root, "root" holds the version accepted last (as its serial) and the
// SHA-256 of that version's document, and the serials of a serial epoch above 0 are kept under
// "manifest@<epoch>" and "rollout@<epoch>" (update/state/accepted_state.h), and "deployment" (beside
// "accepted") names the deployment the first document accepted under the root was published for,
// which every later one must name too. Kinds a reader does not know are
// kept as they are when it writes the file again, so that a launcher of an earlier build never drops what a
// later one remembered.
#include <map>
#include <string>
#include <string_view>

#include "update/trust/accepted_signing.h"

inline constexpr std::string_view kAcceptedStateFormat = "aurevia-state/1";
inline constexpr wchar_t kAcceptedStateFileName[] = L"aurevia-state.json";
// Far above a real state (a few hundred bytes); what is larger is not ours.
inline constexpr size_t kAcceptedStateLimit = 64 * 1024;

// By kind of document ("manifest", "rollout", and whatever later builds add).
using TAcceptedRecord = std::map<std::string, TAcceptedSigning>;

// Raises TManifestError for anything but a well-formed state: not JSON, another format, a kind that
// is not an object with an unsigned "serial" and, when given, a "sha256" of 64 hex digits, or a
// text past kAcceptedStateLimit, or a "deployment" that is not a deployment name
// (document_text::IsNameText). ADeployment, when given, receives it (empty: none).
TAcceptedRecord DecodeAcceptedState(std::string_view bytes, std::string* ADeployment = nullptr);
std::string EncodeAcceptedState(const TAcceptedRecord& record, std::string_view ADeployment = {});

// Both records in one: each kind's higher serial; on equal serials the bytes AKept knew, else
// those AOther knew. AKept is what is on disk, which another launcher of this installation may have
// raised meanwhile; nothing either holds is lowered.
TAcceptedRecord MergedAcceptedState(const TAcceptedRecord& AKept, const TAcceptedRecord& AOther);
