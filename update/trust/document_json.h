#pragma once
// The JSON side of the signed documents' codecs (release documents, the trust root): a document is
// read whole into RapidJSON's DOM with the iterative parser, so that deep nesting in an unknown
// member cannot exhaust the stack, and every known member is looked up once. Included by the
// codecs' sources only; every failure raises TManifestError through document_text::Fail.
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "update/trust/document_text.h"

namespace document_json {

using Value = rapidjson::Value;

inline constexpr unsigned kParseFlags =
    rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag;

// AWhat names the document in the failure: "The <AWhat> is not JSON: ...".
inline rapidjson::Document ParsedObject(std::string_view ABytes, std::string_view AWhat) {
    rapidjson::Document document;
    document.Parse<kParseFlags>(ABytes.data(), ABytes.size());
    if (document.HasParseError())
        document_text::Fail("The " + std::string(AWhat) +
                            " is not JSON: " + rapidjson::GetParseError_En(document.GetParseError()) +
                            " (at byte " + std::to_string(document.GetErrorOffset()) + ")");
    if (!document.IsObject()) document_text::Fail("The " + std::string(AWhat) + " is not a JSON object");
    return document;
}

// A known member: found once, or absent (nullptr, refused when required). Two of them would make the
// document mean two things.
inline const Value* MemberOf(const Value& AObject, std::string_view AName, std::string_view AWhere,
                             bool ARequired) {
    const Value* found = nullptr;
    for (auto it = AObject.MemberBegin(); it != AObject.MemberEnd(); ++it) {
        if (std::string_view(it->name.GetString(), it->name.GetStringLength()) != AName) continue;
        if (found) document_text::Fail("\"" + std::string(AName) + "\" is given twice");
        found = &it->value;
    }
    if (!found && ARequired)
        document_text::Fail(std::string(AWhere) + " lacks \"" + std::string(AName) + "\"");
    return found;
}

// Integers in JSON's own form only: 3.0, 3e0 and anything past 64 bits arrive as doubles.
inline uint64_t UnsignedOf(const Value& AValue, std::string_view AName) {
    if (!AValue.IsNumber()) document_text::Fail("\"" + std::string(AName) + "\" is not a number");
    if (!AValue.IsUint64()) document_text::Fail("\"" + std::string(AName) + "\" is not an unsigned integer");
    return AValue.GetUint64();
}

inline std::string_view TextOf(const Value& AValue, std::string_view AName) {
    if (!AValue.IsString()) document_text::Fail("\"" + std::string(AName) + "\" is not a string");
    return std::string_view(AValue.GetString(), AValue.GetStringLength());
}

// A product or deployment name (document_text::NameTextFrom); empty when absent and not required.
inline std::string NameMemberOf(const Value& AObject, std::string_view AName, std::string_view AWhere,
                                bool ARequired) {
    const Value* value = MemberOf(AObject, AName, AWhere, ARequired);
    if (!value) return {};
    return document_text::NameTextFrom(AName, TextOf(*value, AName));
}

// What a document signed under a trust root says of where it belongs: the signer's key id, the
// root's product and the deployment it was published for. Each is optional to the codec: documents
// signed without a root name none, and whether one must be named is trust's to judge
// (certified_judgement.h). The root document reads its product through NameMemberOf too, so that a
// product the root can name is one a document can name.
struct TSignerNames {
    std::string Key;
    std::string Product;
    std::string Deployment;
};

inline TSignerNames SignerNamesOf(const Value& AObject, std::string_view AWhere) {
    TSignerNames names;
    if (const Value* key = MemberOf(AObject, "key", AWhere, false))
        names.Key = document_text::KeyIdTextFrom("key", TextOf(*key, "key"));
    names.Product = NameMemberOf(AObject, "product", AWhere, false);
    names.Deployment = NameMemberOf(AObject, "deployment", AWhere, false);
    return names;
}

// Into a document's own members (TReleaseManifest, TRelease, TRollout).
template <class TDocument>
void ReadSignerNames(const Value& AObject, std::string_view AWhere, TDocument& ADocument) {
    TSignerNames names = SignerNamesOf(AObject, AWhere);
    ADocument.Key = std::move(names.Key);
    ADocument.Product = std::move(names.Product);
    ADocument.Deployment = std::move(names.Deployment);
}

// Writes a document in one line, members in the order given.
class TJsonWriter {
  public:
    rapidjson::StringBuffer Buffer;
    rapidjson::Writer<rapidjson::StringBuffer> Json{Buffer};

    void Text(std::string_view AValue) {
        Json.String(AValue.data(), static_cast<rapidjson::SizeType>(AValue.size()));
    }
    void Key(const char* AName) { Json.Key(AName); }
    std::string Result() const { return std::string(Buffer.GetString(), Buffer.GetSize()); }

    // The signer's members that are named; none for a document signed without a root, whose bytes
    // then stay those of earlier publishers. A name the reader would refuse raises.
    template <class TDocument>
    void SignerNames(const TDocument& ADocument) {
        if (!ADocument.Key.empty()) {
            Key("key");
            Text(document_text::KeyIdTextFrom("key", ADocument.Key));
        }
        if (!ADocument.Product.empty()) {
            Key("product");
            Text(document_text::NameTextFrom("product", ADocument.Product));
        }
        if (!ADocument.Deployment.empty()) {
            Key("deployment");
            Text(document_text::NameTextFrom("deployment", ADocument.Deployment));
        }
    }
};

}  // namespace document_json
