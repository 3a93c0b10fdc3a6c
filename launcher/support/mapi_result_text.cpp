#include "launcher/support/mapi_result_text.h"

#include <array>
#include <utility>

std::wstring MapiResultText(unsigned long result) {
    // Keyed by the Simple MAPI result codes (MAPI_USER_ABORT = 1 ... MAPI_E_AMBIGUOUS_RECIPIENT = 21).
    static constexpr std::array<std::pair<unsigned long, const wchar_t*>, 12> kTexts{{
        {1, L"The user canceled one of the dialog boxes; no message was sent."},
        {2, L"One or more unspecified errors occurred; no message was sent."},
        {3,
         L"There was no default logon, and the user failed to log on successfully when the logon "
         L"dialog box was displayed. No message was sent."},
        {5, L"There was insufficient memory to proceed. No message was sent."},
        {9, L"There were too many file attachments; no message was sent."},
        {10, L"There were too many recipients; no message was sent."},
        {11, L"The specified attachment was not found. No message was sent."},
        {12, L"The specified attachment could not be open; no message was sent."},
        {14, L"A recipient did not appear in the address list; no message was sent."},
        {15, L"The type of a recipient was not MAPI_TO, MAPI_CC, or MAPI_BCC. No message was sent."},
        {18, L"The text in the message was too large to sent; the message was not sent."},
        {21,
         L"A recipient matched more than one of the recipient descriptor structures and MAPI_DIALOG "
         L"was not set. No message was sent."},
    }};
    for (const auto& [code, text] : kTexts)
        if (code == result) return text;
    return {};
}
