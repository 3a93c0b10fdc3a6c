#pragma once
// An Error carrying a Win32 error code and the system's own text for it.
#include <windows.h>

#include <string>

#include "base/error.h"

class Win32Error : public Error {
  public:
    explicit Win32Error(DWORD code);
    Win32Error(DWORD code, const std::string& message) : Error(message), code_(code) {}
    DWORD code() const { return code_; }

  private:
    DWORD code_;
};

// The system's message text for an error code, or the text in module's message table when a module
// is given; without the trailing line break ("" when none).
std::wstring SystemErrorText(DWORD code, HMODULE module = nullptr);

[[noreturn]] void ThrowLastError();
