#include "update/source/signed_document.h"

#include <windows.h>

#include <algorithm>

#include "base/error.h"
#include "base/string_convert.h"
#include "update/source/update_source.h"

namespace {

bool SaysAbsent(const std::exception& AFailure) {
    const auto* error = dynamic_cast<const Error*>(&AFailure);
    if (!error) return false;
    const TErrorCode code = error->Code();
    switch (code.System) {
        case TCodeSystem::Http:
            return code.Value == 404 || code.Value == 410;
        case TCodeSystem::Win32:
            return code.Value == ERROR_FILE_NOT_FOUND || code.Value == ERROR_PATH_NOT_FOUND;
        default:
            return false;
    }
}

std::optional<std::string> ReadDocument(IUpdateSource& ASource, std::string_view AName, uint64_t ALimit,
                                        TSignedDocumentBytes& ABytes) {
    std::wstring name = Utf8ToWide(AName);
    std::replace(name.begin(), name.end(), L'/', L'\\');
    try {
        return ASource.Read(name, ALimit);
    } catch (const std::exception& e) {
        if (ABytes.Missing.empty()) {
            ABytes.Missing = std::string(AName) + ": " + e.what();
            ABytes.DocumentAbsent = !ABytes.Document && SaysAbsent(e);
        }
        return std::nullopt;
    }
}

}  // namespace

TSignedDocumentBytes ReadSignedDocument(IUpdateSource& ASource, std::string_view ADocument,
                                        uint64_t ADocumentLimit, std::string_view ASignature,
                                        uint64_t ASignatureLimit) {
    TSignedDocumentBytes bytes;
    bytes.Document = ReadDocument(ASource, ADocument, ADocumentLimit, bytes);
    if (bytes.Document) bytes.Signature = ReadDocument(ASource, ASignature, ASignatureLimit, bytes);
    return bytes;
}
