#pragma once
// Simple MAPI send results and the text the launcher shows for each: every code with a text, the
// success code and a few without one (0 shows nothing; 4, 26 and others show an empty error box).
struct MapiResultCase {
    unsigned long result;
    const wchar_t* text;
};

inline constexpr MapiResultCase kMapiResultCases[] = {
    {0, L""},
    {1, L"The user canceled one of the dialog boxes; no message was sent."},
    {2, L"One or more unspecified errors occurred; no message was sent."},
    {3,
     L"There was no default logon, and the user failed to log on successfully when the logon dialog box "
     L"was displayed. No message was sent."},
    {4, L""},
    {5, L"There was insufficient memory to proceed. No message was sent."},
    {9, L"There were too many file attachments; no message was sent."},
    {10, L"There were too many recipients; no message was sent."},
    {11, L"The specified attachment was not found. No message was sent."},
    {12, L"The specified attachment could not be open; no message was sent."},
    {13, L""},
    {14, L"A recipient did not appear in the address list; no message was sent."},
    {15, L"The type of a recipient was not MAPI_TO, MAPI_CC, or MAPI_BCC. No message was sent."},
    {18, L"The text in the message was too large to sent; the message was not sent."},
    {21,
     L"A recipient matched more than one of the recipient descriptor structures and MAPI_DIALOG was not "
     L"set. No message was sent."},
    {26, L""},
    {0xFFFFFFFFul, L""},
};
