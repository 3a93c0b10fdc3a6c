#pragma once
// A signed document of a source and its signature, read into memory as the source holds them. The
// source only fetches: what the bytes are worth is trust's decision (update/trust/), which of them
// to ask for the plan's (update/plan/). Runs on the UI thread.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class IUpdateSource;

struct TSignedDocumentBytes {
    std::optional<std::string> Document;
    std::optional<std::string> Signature;
    // "<name>: <why>" of the first of the two that could not be read; empty when both were.
    std::string Missing;
    // The source answered that it does not hold the document (HTTP 404 or 410, no such file in the
    // folder). Any other failure (past its limit, a timeout, a server error, a share gone, a missing
    // signature beside the document) is no answer about it, and must not be taken for absence.
    bool DocumentAbsent = false;

    bool Complete() const { return Document && Signature; }
};

// ADocument and ASignature: names relative to the source's root, '/' or '\' between levels; each
// read within its limit. Without the document the signature is not asked for: one request less for
// a service that holds neither.
TSignedDocumentBytes ReadSignedDocument(IUpdateSource& ASource, std::string_view ADocument,
                                        uint64_t ADocumentLimit, std::string_view ASignature,
                                        uint64_t ASignatureLimit);
