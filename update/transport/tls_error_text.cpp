#include "update/transport/tls_error_text.h"

#include <winhttp.h>

namespace {

const wchar_t* TlsText(DWORD ACode) {
    const wchar_t* text = nullptr;
    switch (ACode) {
        // Windows reports every certificate fault as 12175; Wine reports them as 12157, which
        // Windows keeps for a failed negotiation (no common protocol version, a server that does not
        // speak TLS at that address).
        case ERROR_WINHTTP_SECURE_FAILURE:
            text =
                L"O certificado do servidor não é confiável (emitido por uma autoridade desconhecida, "
                L"vencido, revogado ou emitido para outro nome)";
            break;
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
            text =
                L"Não foi possível estabelecer uma conexão segura com o servidor (o certificado do servidor "
                L"não é confiável, ou o servidor não aceita TLS 1.2 nesse endereço)";
            break;
        case ERROR_WINHTTP_SECURE_INVALID_CA:
            text = L"O certificado do servidor não é confiável (emitido por uma autoridade desconhecida)";
            break;
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
            text = L"O certificado do servidor não é confiável (emitido para outro nome)";
            break;
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
            text = L"O certificado do servidor não é confiável (vencido ou ainda não válido)";
            break;
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
            text = L"O certificado do servidor foi revogado";
            break;
        case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
            text = L"Não foi possível verificar se o certificado do servidor foi revogado";
            break;
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
            text = L"O certificado do servidor não é válido";
            break;
        case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
            text = L"O certificado do servidor não serve para identificar um servidor";
            break;
        case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
            text = L"O servidor exige um certificado do cliente";
            break;
        default:
            break;
    }
    return text;
}

}  // namespace

bool IsTlsFailure(DWORD ACode) { return TlsText(ACode) != nullptr; }

std::wstring TlsErrorText(DWORD ACode) {
    const wchar_t* text = TlsText(ACode);
    if (!text) return {};
    return std::wstring(text) + L" (WinHTTP " + std::to_wstring(ACode) + L").";
}
