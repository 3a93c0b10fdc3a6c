#pragma once
// Failures of the JSON and ISO 8601 decoding. All are Errors carrying the user-visible message; the
// subclasses say which kind of failure it was, for callers that care. What is decoded here is the
// file service's listing, so each is a failure to read the listing.
#include "base/error.h"

class EJSONError : public Error {  // no JSON value where a list was expected
  public:
    explicit EJSONError(const std::string& message) : Error(message, TErrorCategory::Listing) {}
};
class EInvalidCast : public Error {  // a JSON value of a kind the target cannot take
  public:
    explicit EInvalidCast(const std::string& message) : Error(message, TErrorCategory::Listing) {}
};
class EConvertError : public Error {  // not an object; an impossible date or time
  public:
    explicit EConvertError(const std::string& message) : Error(message, TErrorCategory::Listing) {}
};
class EDateTimeException : public Error {  // an ISO 8601 text that cannot be read
  public:
    explicit EDateTimeException(const std::string& message) : Error(message, TErrorCategory::Listing) {}
};
