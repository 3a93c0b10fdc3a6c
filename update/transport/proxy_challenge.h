#pragma once
// A proxy that answers 407. The logged-on user's own Windows logon is offered where the proxy
// takes it (Negotiate or NTLM); a proxy that wants a user name and a password (Basic, Digest) gets
// none: the launcher asks for none and stores none, and the request fails with a message that
// names the proxy.
#include <windows.h>
#include <winhttp.h>

#include <string>

#include "base/error.h"

// After a 407 on ARequest: true when the proxy takes the user's logon and ARequest now carries it
// for its next send (once: AAlreadyOffered says it was offered before and refused). Otherwise
// raises ProxyAuthenticationText as AFailure with the code HTTP 407.
bool OfferLogonToProxy(HINTERNET ARequest, const std::wstring& AProxy, bool AAlreadyOffered,
                       TErrorCategory AFailure);

// The failure's message, in Portuguese, for the user and the IT log.
std::string ProxyAuthenticationText(const std::wstring& AProxy, bool ALogonRefused);
