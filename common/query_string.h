#pragma once
// The parameters of a URL's query, as browsers send a form ("a=1&b=x+y%21"). Portable.
#include <optional>
#include <string>
#include <string_view>

// The query of a request target: what follows the first "?", empty when there is none.
std::string_view QueryOf(std::string_view target);

// "%XX" as the byte XX; a "%" not followed by two hex digits stays as it is.
std::string PercentDecode(std::string_view text);
// Form encoding: "+" is a blank, then PercentDecode.
std::string FormDecode(std::string_view text);

// The first value of parameter `name`, both decoded as a form; a parameter without "=" has the empty
// value. nullopt when the query has no such parameter.
std::optional<std::string> QueryValue(std::string_view query, std::string_view name);

// Everything after the first "<name>=" of the query, not decoded ("&" and "+" belong to it): for a
// parameter that must come last and may hold any character (a file name its client does not
// encode). nullopt when the query has no such parameter.
std::optional<std::string_view> RawQueryTail(std::string_view query, std::string_view name);
