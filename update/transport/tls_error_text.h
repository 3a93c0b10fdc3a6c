#pragma once
// What the file service client says when an https connection fails: the system's own texts for these
// codes ("A security error occurred", and none at all under Wine) do not tell hospital staff or IT
// that the server's certificate is the problem. Written in Portuguese like every text of the
// launcher; on the Brazilian Portuguese Windows of the workstations the system's texts around them
// are Portuguese too.
#include <windows.h>

#include <string>

// Whether a WinHTTP code is a certificate or secure-channel failure.
bool IsTlsFailure(DWORD ACode);

// The text for a certificate or secure-channel failure, empty for any other code.
std::wstring TlsErrorText(DWORD ACode);
