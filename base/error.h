#pragma once
// The one error type of the launcher: an exception that carries the message shown to the user.
// Messages are UTF-8 so that the portable code can raise them; the Windows edge converts them once.
#include <stdexcept>
#include <string>

class Error : public std::runtime_error {
  public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// The text the top-level error display shows: the message, with a "." added when the code of its
// last character is above that of ".".
std::string TopLevelErrorText(const std::string& message);
