#pragma once
// An Error carrying a Win32 error code and the system's own text for it.
#include <windows.h>

#include <string>

#include "base/error.h"

class Win32Error : public Error {
  public:
    // The message is the system's text for the code.
    Win32Error(DWORD code, TErrorCategory category);
    Win32Error(DWORD code, TErrorCategory category, const std::string& message)
        : Error(message, category, Win32Code(code)), code_(code) {}
    DWORD code() const { return code_; }

  private:
    DWORD code_;
};

// The system's message text for an error code, or the text in module's message table when a module
// is given; without the trailing line break ("" when none).
std::wstring SystemErrorText(DWORD code, HMODULE module = nullptr);

// Raises the calling thread's last error as a Win32Error of that category.
[[noreturn]] void ThrowLastError(TErrorCategory category);
