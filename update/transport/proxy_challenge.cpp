#include "update/transport/proxy_challenge.h"

#include "base/string_convert.h"

std::string ProxyAuthenticationText(const std::wstring& AProxy, bool ALogonRefused) {
    const std::string proxy = AProxy.empty() ? "do sistema" : WideToUtf8(AProxy);
    if (ALogonRefused)
        return "O proxy " + proxy +
               " recusou o logon do Windows deste usuário (Negotiate/NTLM): a atualização foi "
               "interrompida. Peça ao TI que libere o servidor de atualização nesse proxy.";
    return "O proxy " + proxy +
           " exige usuário e senha (autenticação Basic), que o Aurevia não envia nem guarda: a "
           "atualização foi interrompida. Peça ao TI que libere o servidor de atualização nesse proxy ou "
           "que ele aceite o logon do Windows (Negotiate ou NTLM).";
}

bool OfferLogonToProxy(HINTERNET ARequest, const std::wstring& AProxy, bool AAlreadyOffered,
                       TErrorCategory AFailure) {
    DWORD supported = 0, first = 0, target = 0;
    const bool known =
        WinHttpQueryAuthSchemes(ARequest, &supported, &first, &target) && target == WINHTTP_AUTH_TARGET_PROXY;
    DWORD scheme = 0;
    if (known && (supported & WINHTTP_AUTH_SCHEME_NEGOTIATE))
        scheme = WINHTTP_AUTH_SCHEME_NEGOTIATE;
    else if (known && (supported & WINHTTP_AUTH_SCHEME_NTLM))
        scheme = WINHTTP_AUTH_SCHEME_NTLM;
    if (scheme != 0 && !AAlreadyOffered) {
        // Low: the logon goes to this proxy although it is no intranet server by WinHTTP's rules;
        // only the proxy's challenge is answered (the target above), never a server's.
        DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
        WinHttpSetOption(ARequest, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof(policy));
        // No name and no password: WinHTTP uses the logged-on user's own credentials.
        if (WinHttpSetCredentials(ARequest, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr))
            return true;
    }
    throw Error(ProxyAuthenticationText(AProxy, scheme != 0), AFailure, HttpStatusCode(407));
}
