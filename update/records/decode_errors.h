#pragma once
// Failures of the JSON and ISO 8601 decoding. All are Errors carrying the user-visible message; the
// subclasses say which kind of failure it was, for callers that care.
#include "base/error.h"

class EJSONError : public Error {  // no JSON value where a list was expected
  public:
    using Error::Error;
};
class EInvalidCast : public Error {  // a JSON value of a kind the target cannot take
  public:
    using Error::Error;
};
class EConvertError : public Error {  // not an object; an impossible date or time
  public:
    using Error::Error;
};
class EDateTimeException : public Error {  // an ISO 8601 text that cannot be read
  public:
    using Error::Error;
};
