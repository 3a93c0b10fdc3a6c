// Read whole into RapidJSON's DOM with the iterative parser, like the release documents: deep
// nesting in an unknown member cannot exhaust the stack. Sizes are bounded before parsing.
#include "update/trust/root_document.h"

#include <cstring>

#include "base/base64.h"
#include "update/trust/document_json.h"
#include "update/trust/document_text.h"

using document_text::Fail;

namespace {

using document_json::MemberOf;
using document_json::TextOf;
using document_json::UnsignedOf;
using document_json::Value;

// The fixed DER prefix of a P-256 SubjectPublicKeyInfo (id-ecPublicKey, prime256v1, a 66-byte bit
// string); the uncompressed point follows.
constexpr uint8_t kP256SpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                       0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                       0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

const Value& ArrayOf(const Value& object, std::string_view name, std::string_view where) {
    const Value& value = *MemberOf(object, name, where, true);
    if (!value.IsArray()) Fail("\"" + std::string(name) + "\" is not an array");
    return value;
}

template <class TKey>
void CheckDistinct(const std::vector<TKey>& keys, const char* what) {
    for (size_t i = 0; i < keys.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (keys[j].Id == keys[i].Id)
                Fail(std::string(what) + " " + document_text::HexOf(keys[i].Id) + " is given twice");
        }
    }
}

void CheckRoot(const TRootDocument& root) {
    document_text::NameTextFrom("product", root.Product);
    if (root.Version == 0) Fail("\"version\" is 0; root versions start at 1");
    if (root.RootKeys.empty()) Fail("The root names no root key");
    if (root.RootKeys.size() > kMostRootKeys)
        Fail("The root names more than " + std::to_string(kMostRootKeys) + " root keys");
    if (root.SigningKeys.size() > kMostSigningKeys)
        Fail("The root names more than " + std::to_string(kMostSigningKeys) + " signing keys");
    if (root.Threshold == 0 || root.Threshold > root.RootKeys.size())
        Fail("The threshold " + std::to_string(root.Threshold) + " is not between 1 and the " +
             std::to_string(root.RootKeys.size()) + " root keys");
    CheckDistinct(root.RootKeys, "Root key");
    CheckDistinct(root.SigningKeys, "Signing key");
    for (const TSigningKey& key : root.SigningKeys) {
        const std::string id = document_text::HexOf(key.Id);
        if (key.Roles == 0 || (key.Roles & ~(static_cast<uint8_t>(TKeyRole::Manifest) |
                                             static_cast<uint8_t>(TKeyRole::Rollout))) != 0)
            Fail("Signing key " + id + " has no role it may take");
        if (key.NotAfterUnix < key.NotBeforeUnix) Fail("Signing key " + id + " ends before it begins");
        // Both ends must be instants the documents can write.
        document_text::UtcInstantText(key.NotBeforeUnix, "The key's not_before");
        document_text::UtcInstantText(key.NotAfterUnix, "The key's not_after");
    }
    document_text::UtcInstantText(root.ExpiresUnix, "The root's expiry");
}

TKeyId IdOf(const Value& element, std::string_view where) {
    const std::string_view hex = TextOf(*MemberOf(element, "id", where, true), "id");
    if (document_text::AsciiLowered(hex) != hex) Fail("A key id is not lowercase hex");
    return document_text::Sha256From(hex);
}

TPublicPoint PointOf(const Value& element, std::string_view where) {
    return DecodePublisherKey(TextOf(*MemberOf(element, "key", where, true), "key"));
}

uint8_t RolesOf(const Value& element, std::string_view where) {
    const Value& roles = ArrayOf(element, "roles", where);
    uint8_t bits = 0;
    for (const Value& role : roles.GetArray()) {
        const std::string_view name = TextOf(role, "roles");
        const uint8_t bit = RoleBitOf(name);
        if (bit == 0) Fail("Unknown role " + document_text::Shown(name));
        if ((bits & bit) != 0) Fail("The role " + std::string(name) + " is given twice");
        bits |= bit;
    }
    return bits;
}

class TWriter : public document_json::TJsonWriter {
  public:
    void KeyAndPoint(const TKeyId& id, const TPublicPoint& point) {
        Key("id");
        Text(document_text::HexOf(id));
        Key("key");
        Text(EncodePublisherKey(point));
    }
};

bool IsLowerHex(std::string_view text) {
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

}  // namespace

TRootDocument DecodeRootDocument(std::string_view ABytes) {
    if (ABytes.size() > kMostRootDocumentSize)
        Fail("The root document is larger than " + std::to_string(kMostRootDocumentSize) + " bytes");
    const rapidjson::Document json = document_json::ParsedObject(ABytes, "root document");
    const std::string_view where = "The root document";
    const Value& format = *MemberOf(json, "format", where, true);
    if (!format.IsString() || TextOf(format, "format") != kRootFormat)
        Fail("The root document's format is not " + std::string(kRootFormat));
    TRootDocument root;
    root.Product = document_json::NameMemberOf(json, "product", where, true);
    root.Version = UnsignedOf(*MemberOf(json, "version", where, true), "version");
    root.ExpiresUnix =
        document_text::UnixSecondsFrom("expires", TextOf(*MemberOf(json, "expires", where, true), "expires"));
    root.Epoch = UnsignedOf(*MemberOf(json, "epoch", where, true), "epoch");
    root.SerialFloor = UnsignedOf(*MemberOf(json, "serial_floor", where, true), "serial_floor");
    const uint64_t threshold = UnsignedOf(*MemberOf(json, "threshold", where, true), "threshold");
    if (threshold > kMostRootKeys) Fail("\"threshold\" is above " + std::to_string(kMostRootKeys));
    root.Threshold = static_cast<unsigned>(threshold);

    const Value& rootKeys = ArrayOf(json, "root_keys", where);
    if (rootKeys.Size() > kMostRootKeys)
        Fail("The root names more than " + std::to_string(kMostRootKeys) + " root keys");
    for (const Value& element : rootKeys.GetArray()) {
        if (!element.IsObject()) Fail("An element of \"root_keys\" is not an object");
        const std::string_view at = "An element of \"root_keys\"";
        root.RootKeys.push_back({IdOf(element, at), PointOf(element, at)});
    }
    const Value& keys = ArrayOf(json, "keys", where);
    if (keys.Size() > kMostSigningKeys)
        Fail("The root names more than " + std::to_string(kMostSigningKeys) + " signing keys");
    for (const Value& element : keys.GetArray()) {
        if (!element.IsObject()) Fail("An element of \"keys\" is not an object");
        const std::string_view at = "An element of \"keys\"";
        TSigningKey key;
        key.Id = IdOf(element, at);
        key.Point = PointOf(element, at);
        key.Roles = RolesOf(element, at);
        key.NotBeforeUnix = document_text::UnixSecondsFrom(
            "not_before", TextOf(*MemberOf(element, "not_before", at, true), "not_before"));
        key.NotAfterUnix = document_text::UnixSecondsFrom(
            "not_after", TextOf(*MemberOf(element, "not_after", at, true), "not_after"));
        root.SigningKeys.push_back(key);
    }
    CheckRoot(root);
    return root;
}

std::string EncodeRootDocument(const TRootDocument& ARoot) {
    CheckRoot(ARoot);
    TWriter w;
    w.Json.StartObject();
    w.Key("format");
    w.Text(kRootFormat);
    w.Key("product");
    w.Text(ARoot.Product);
    w.Key("version");
    w.Json.Uint64(ARoot.Version);
    w.Key("expires");
    w.Text(document_text::UtcInstantText(ARoot.ExpiresUnix, "The root's expiry"));
    w.Key("epoch");
    w.Json.Uint64(ARoot.Epoch);
    w.Key("serial_floor");
    w.Json.Uint64(ARoot.SerialFloor);
    w.Key("threshold");
    w.Json.Uint(ARoot.Threshold);
    w.Key("root_keys");
    w.Json.StartArray();
    for (const TRootKey& key : ARoot.RootKeys) {
        w.Json.StartObject();
        w.KeyAndPoint(key.Id, key.Point);
        w.Json.EndObject();
    }
    w.Json.EndArray();
    w.Key("keys");
    w.Json.StartArray();
    for (const TSigningKey& key : ARoot.SigningKeys) {
        w.Json.StartObject();
        w.KeyAndPoint(key.Id, key.Point);
        w.Key("roles");
        w.Json.StartArray();
        for (const std::string_view role : {kRoleManifest, kRoleRollout}) {
            if (key.Roles & RoleBitOf(role)) w.Text(role);
        }
        w.Json.EndArray();
        w.Key("not_before");
        w.Text(document_text::UtcInstantText(key.NotBeforeUnix, "The key's not_before"));
        w.Key("not_after");
        w.Text(document_text::UtcInstantText(key.NotAfterUnix, "The key's not_after"));
        w.Json.EndObject();
    }
    w.Json.EndArray();
    w.Json.EndObject();
    return w.Result();
}

std::vector<TRootSignature> DecodeRootSignatures(std::string_view ABytes) {
    if (ABytes.size() > kMostRootSignaturesSize)
        Fail("The root's signature file is larger than " + std::to_string(kMostRootSignaturesSize) +
             " bytes");
    if (!ABytes.empty() && ABytes.back() != '\n')
        Fail("The root's signature file does not end its last line");
    std::vector<TRootSignature> signatures;
    while (!ABytes.empty()) {
        const size_t end = ABytes.find('\n');
        const std::string_view line = ABytes.substr(0, end);
        ABytes.remove_prefix(end + 1);
        if (signatures.size() == kMostRootSignatures)
            Fail("The root's signature file holds more than " + std::to_string(kMostRootSignatures) +
                 " signatures");
        const size_t space = line.find(' ');
        if (space != 64 || !IsLowerHex(line.substr(0, 64)))
            Fail("A line of the root's signature file does not start with a key id and one space");
        const auto raw = Base64Decode(line.substr(space + 1));
        if (!raw || raw->size() != kManifestSignatureSize)
            Fail("A signature in the root's signature file is not the base64 of 64 bytes");
        signatures.push_back(
            {document_text::Sha256From(line.substr(0, 64)), std::string(raw->begin(), raw->end())});
    }
    return signatures;
}

std::string EncodeRootSignatures(const std::vector<TRootSignature>& ASignatures) {
    if (ASignatures.size() > kMostRootSignatures)
        Fail("More than " + std::to_string(kMostRootSignatures) + " signatures");
    std::string text;
    for (const TRootSignature& signature : ASignatures) {
        if (signature.Signature.size() != kManifestSignatureSize) Fail("A signature is not 64 bytes");
        text += document_text::HexOf(signature.KeyId);
        text += ' ';
        text += Base64Encode(reinterpret_cast<const uint8_t*>(signature.Signature.data()),
                             signature.Signature.size());
        text += '\n';
    }
    return text;
}

std::string SubjectPublicKeyInfoOf(const TPublicPoint& APoint) {
    std::string der(reinterpret_cast<const char*>(kP256SpkiPrefix), sizeof kP256SpkiPrefix);
    der.append(reinterpret_cast<const char*>(APoint.data()), APoint.size());
    return der;
}

uint8_t RoleBitOf(std::string_view AName) {
    if (AName == kRoleManifest) return static_cast<uint8_t>(TKeyRole::Manifest);
    if (AName == kRoleRollout) return static_cast<uint8_t>(TKeyRole::Rollout);
    return 0;
}

std::string RoleNames(uint8_t ARoles) {
    std::string names;
    for (const std::string_view role : {kRoleManifest, kRoleRollout}) {
        if ((ARoles & RoleBitOf(role)) == 0) continue;
        if (!names.empty()) names += ',';
        names += role;
    }
    return names;
}

std::string RootDocumentPath(uint64_t AVersion) {
    return std::string(kRootFolderName) + "/" + std::to_string(AVersion) + ".json";
}

std::string RootSignaturesPath(uint64_t AVersion) {
    return std::string(kRootFolderName) + "/" + std::to_string(AVersion) + ".sig";
}
