#pragma once
// The application's top-level error display: what escapes a window event ends up here.
#include <exception>
#include <string>

// A system message box with the error's text (see TopLevelErrorText), the caption "Aurevia", the
// error icon and OK. Runs on the UI thread and returns when the user has closed it.
void ShowTopLevelError(const std::string& message);
void ShowTopLevelError(const std::exception& error);

// Runs a window event's body and shows any error that escapes it; the program goes on.
template <typename F>
void GuardEvent(F&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        ShowTopLevelError(e);
    } catch (...) {
        ShowTopLevelError("Unknown error");
    }
}
