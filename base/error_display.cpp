#include "base/error_display.h"

#include <windows.h>

#include "base/error.h"
#include "base/event_log.h"
#include "base/string_convert.h"

void ShowTopLevelError(const std::string& message) {
    const std::wstring text = Utf8ToWide(TopLevelErrorText(message));
    LogEvent(TLogLine(TLogLevel::Error, "message").Add("type", "error").Add("text", text));
    MessageBoxW(GetActiveWindow(), text.c_str(), L"Aurevia", MB_OK | MB_ICONERROR);
}

void ShowTopLevelError(const std::exception& error) { ShowTopLevelError(std::string(error.what())); }
