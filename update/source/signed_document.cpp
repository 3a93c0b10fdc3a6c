#include "update/source/signed_document.h"

#include <algorithm>

#include "base/error.h"
#include "base/string_convert.h"
#include "update/source/update_source.h"

namespace {

std::optional<std::string> ReadDocument(IUpdateSource& ASource, std::string_view AName, uint64_t ALimit,
                                        TSignedDocumentBytes& ABytes) {
    std::wstring name = Utf8ToWide(AName);
    std::replace(name.begin(), name.end(), L'/', L'\\');
    try {
        return ASource.Read(name, ALimit);
    } catch (const std::exception& e) {
        if (ABytes.Missing.empty()) {
            ABytes.Missing = std::string(AName) + ": " + e.what();
            const auto* error = dynamic_cast<const Error*>(&e);
            ABytes.TooLarge = error && error->Category() == TErrorCategory::TooLarge;
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
