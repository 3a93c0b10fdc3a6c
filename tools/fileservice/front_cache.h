#pragma once
// Which answers a caching front (deploy/nginx) may store. The front keys its cache on the route and
// the raw query, so every other spelling of one request (letter case, needless escapes, parameters
// in another order) would be one more copy of the same file fetched and stored, and fetched to the
// end even when its client has gone, since the front finishes what it stores. Only the query a
// workstation itself sends for the name as the service lists it is stored; other spellings are
// answered but marked not to be stored (X-Accel-Expires: 0, which only the front reads).
#include <string>
#include <string_view>

namespace fileservice {

// The query of a download of `name` (UTF-8, backslashes between folders) as the launcher writes it:
// "file=" and the name percent-encoded byte by byte where the launcher encodes (controls, the blank,
// bytes past 0x7E and * < > # % { } | \ ^ [ ] ` " '), upper-case hex, "+" and "&" as they are.
std::string LauncherDownloadQuery(std::string_view name);

// The query of a listing as the launcher writes it: folder, mask and recursive, each only when
// given, in that order, values encoded as it encodes a query value (a blank as "+").
std::string LauncherListQuery(std::string_view folder, std::string_view mask, bool recursive);

}  // namespace fileservice
