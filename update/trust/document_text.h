#pragma once
// The pieces that the signed documents' codecs share (the flat manifest, the release and the
// rollout document): the error they raise, numbers taken from their JSON digits, UTC instants,
// SHA-256 in hex and the rules for the file names that a workstation writes. Portable.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "update/trust/release_manifest.h"

namespace document_text {

[[noreturn]] void Fail(const std::string& message);  // raises TManifestError

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b);
std::string AsciiLowered(std::string_view text);

// JSON number text that is a plain unsigned integer; a sign, fraction or exponent is refused rather
// than rounded, and so is a value past 64 bits. `member` names it in the message.
uint64_t UnsignedFrom(std::string_view member, std::string_view digits);

// "YYYY-MM-DDTHH:MM:SSZ" and nothing else, to seconds since 1970, and back; only instants that a
// Windows file time can hold (1601-01-01T00:00:01Z to 9999-12-31T23:59:59Z), out of that range
// raises, `member` or `what` naming the value in the message.
int64_t UnixSecondsFrom(std::string_view member, std::string_view text);
std::string UtcInstantText(int64_t unixSeconds, std::string_view what);

// 64 hex digits (either case) to the hash, and the hash to 64 lowercase digits.
TSha256 Sha256From(std::string_view hex);
std::string HexOf(const TSha256& hash);

// The signer a document names ("key": 64 lowercase hex digits, the key id of root_document.h);
// raises otherwise, `member` naming it.
std::string KeyIdTextFrom(std::string_view member, std::string_view text);

// The product a root is for, or the deployment (one server folder's documents) a document was
// published for: 1 to 64 characters of A-Z, a-z, 0-9, '.', '_' and '-', so that it reads the same
// in a document, an INI value, the state file and an IT log line. NameTextFrom raises otherwise,
// `member` naming it.
inline constexpr size_t kMostNameLength = 64;
bool IsNameText(std::string_view text);
std::string NameTextFrom(std::string_view member, std::string_view text);

// A name as a message shows it: quoted, control characters written as escapes.
std::string Shown(std::string_view name);

// A name the launcher can join under its folder without leaving it: a relative path of
// backslash-separated levels, none empty, "." or "..", without a character no Windows name holds.
void CheckName(std::string_view name);

// CheckName, and also no level that a Windows workstation cannot create: a reserved device name
// (CON, PRN, AUX, NUL, COM1-9, LPT1-9, COM and LPT with a superscript 1-3, any letter case, with or
// without an extension) or a level ending in a dot or a space (Windows drops them and would write another
// name).
void CheckWindowsName(std::string_view name);

// Raises for the first name that appears twice with ASCII letter case ignored (as on Windows).
void CheckNamesAreDistinct(const std::vector<std::string_view>& names);

}  // namespace document_text
