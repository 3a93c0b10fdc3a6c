// The manifest is read in one streaming pass (RapidJSON's SAX reader, iterative so that deep
// nesting cannot exhaust the stack, numbers kept as written so that a serial or size is taken from
// its digits and never through a double). The reader is strict about the members it knows and
// skips the others whole, so a later format can add members that this reader ignores.
#include "update/trust/release_manifest.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/base64.h"
#include "update/trust/document_json.h"
#include "update/trust/document_text.h"

namespace {

constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag |
                                 rapidjson::kParseValidateEncodingFlag;

using document_text::CheckName;
using document_text::Fail;
using document_text::HexOf;
using document_text::SameIgnoringAsciiCase;
using document_text::Sha256From;
using document_text::UnsignedFrom;

// Receives the reader's events. Depth counts the objects and arrays that are open; a member that is
// not known has its whole value skipped (FSkipping > 0 while inside it).
class ManifestHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, ManifestHandler> {
  public:
    TReleaseManifest Manifest;
    std::optional<std::string> Failure;

    bool Null() { return Scalar("null", Kind::Other); }
    bool Bool(bool) { return Scalar("a boolean", Kind::Other); }
    bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
        return Scalar(std::string_view(text, length), Kind::Number);
    }
    bool String(const char* text, rapidjson::SizeType length, bool) {
        return Scalar(std::string_view(text, length), Kind::String);
    }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        if (FSkipping == 0) FMember.assign(text, length);
        return true;
    }
    bool StartObject() {
        if (FSkipping > 0 || SkipsUnknown()) return ++FSkipping, true;
        if (FDepth == 0) return ++FDepth, true;
        if (FDepth == 2) {
            FEntry = {};
            FSeen = 0;
            return ++FDepth, true;
        }
        return Refuse(NotOfItsKind());
    }
    bool EndObject(rapidjson::SizeType) {
        if (FSkipping > 0) return --FSkipping, true;
        --FDepth;
        if (FDepth == 0) return Require(FRootSeen, {"format", "serial", "expires", "files"}, "The manifest");
        if (!Require(FSeen, {"name", "size", "sha256"}, "An element of \"files\"")) return false;
        Manifest.Files.push_back(std::move(FEntry));
        return true;
    }
    bool StartArray() {
        if (FSkipping > 0 || SkipsUnknown()) return ++FSkipping, true;
        if (FDepth == 1 && FMember == "files") {
            if (!See(FRootSeen, 8)) return false;
            return ++FDepth, true;
        }
        if (FDepth == 0) return Refuse("The manifest is not a JSON object");
        return Refuse(FDepth == 2 ? "An element of \"files\" is not an object" : NotOfItsKind());
    }
    bool EndArray(rapidjson::SizeType) {
        if (FSkipping > 0) return --FSkipping, true;
        --FDepth;
        return true;
    }

  private:
    enum class Kind { String, Number, Other };

    // Whether the value now arriving belongs to a member that this reader does not know.
    bool SkipsUnknown() const {
        if (FDepth == 1)
            return FMember != "format" && FMember != "serial" && FMember != "expires" && FMember != "files" &&
                   FMember != "key" && FMember != "product" && FMember != "deployment";
        if (FDepth == 3) return FMember != "name" && FMember != "size" && FMember != "sha256";
        return false;
    }

    // The message for a known member whose value is of another kind than the format gives it.
    std::string NotOfItsKind() const {
        const bool number = FMember == "serial" || FMember == "size";
        return "\"" + FMember + "\" is not " +
               (number               ? "a number"
                : FMember == "files" ? "an array"
                                     : "a string");
    }

    bool Refuse(std::string message) {
        Failure = std::move(message);
        return false;
    }

    // Marks a member as seen; a member given twice would make the manifest mean two things.
    bool See(unsigned& seen, unsigned bit) {
        if (seen & bit) return Refuse("\"" + FMember + "\" is given twice");
        seen |= bit;
        return true;
    }

    bool Require(unsigned seen, std::initializer_list<const char*> members, const char* what) {
        unsigned bit = 1;
        for (const char* member : members) {
            if (!(seen & bit)) return Refuse(std::string(what) + " lacks \"" + member + "\"");
            bit <<= 1;
        }
        return true;
    }

    bool Scalar(std::string_view text, Kind kind) {
        if (FSkipping > 0 || SkipsUnknown()) return true;
        if (FDepth == 0) return Refuse("The manifest is not a JSON object");
        if (FDepth == 2) return Refuse("An element of \"files\" is not an object");
        try {
            if (FDepth == 1) return RootMember(text, kind);
            return FileMember(text, kind);
        } catch (const TManifestError& e) {
            return Refuse(e.what());
        }
    }

    bool RootMember(std::string_view text, Kind kind) {
        if (FMember == "format") {
            if (!See(FRootSeen, 1)) return false;
            if (kind != Kind::String || text != kManifestFormat)
                return Refuse("The manifest's format is not " + std::string(kManifestFormat));
        } else if (FMember == "serial") {
            if (!See(FRootSeen, 2)) return false;
            if (kind != Kind::Number) return Refuse(NotOfItsKind());
            Manifest.Serial = UnsignedFrom(FMember, text);
        } else if (FMember == "expires") {
            if (!See(FRootSeen, 4)) return false;
            if (kind != Kind::String) return Refuse(NotOfItsKind());
            Manifest.ExpiresUnix = document_text::UnixSecondsFrom(FMember, text);
        } else if (FMember == "key") {
            if (!See(FRootSeen, 16)) return false;
            if (kind != Kind::String) return Refuse(NotOfItsKind());
            Manifest.Key = document_text::KeyIdTextFrom(FMember, text);
        } else if (FMember == "product" || FMember == "deployment") {
            if (!See(FRootSeen, FMember == "product" ? 32 : 64)) return false;
            if (kind != Kind::String) return Refuse(NotOfItsKind());
            (FMember == "product" ? Manifest.Product : Manifest.Deployment) =
                document_text::NameTextFrom(FMember, text);
        } else {
            return Refuse(NotOfItsKind());
        }
        return true;
    }

    bool FileMember(std::string_view text, Kind kind) {
        if (FMember == "name") {
            if (!See(FSeen, 1)) return false;
            if (kind != Kind::String) return Refuse(NotOfItsKind());
            CheckName(text);
            FEntry.Name.assign(text);
        } else if (FMember == "size") {
            if (!See(FSeen, 2)) return false;
            if (kind != Kind::Number) return Refuse(NotOfItsKind());
            FEntry.Size = UnsignedFrom(FMember, text);
        } else {
            if (!See(FSeen, 4)) return false;
            if (kind != Kind::String) return Refuse(NotOfItsKind());
            FEntry.Sha256 = Sha256From(text);
        }
        return true;
    }

    int FDepth = 0;
    int FSkipping = 0;
    std::string FMember;
    unsigned FRootSeen = 0;
    unsigned FSeen = 0;
    TManifestFile FEntry;
};

}  // namespace

TReleaseManifest DecodeReleaseManifest(std::string_view bytes) {
    ManifestHandler handler;
    rapidjson::Reader reader;
    rapidjson::MemoryStream stream(bytes.data(), bytes.size());
    const rapidjson::ParseResult result = reader.Parse<kParseFlags>(stream, handler);
    if (handler.Failure) Fail(*handler.Failure);
    if (result.IsError())
        Fail(std::string("The manifest is not JSON: ") + rapidjson::GetParseError_En(result.Code()) +
             " (at byte " + std::to_string(result.Offset()) + ")");
    std::vector<std::string_view> names;
    names.reserve(handler.Manifest.Files.size());
    for (const auto& file : handler.Manifest.Files) names.push_back(file.Name);
    document_text::CheckNamesAreDistinct(names);
    return std::move(handler.Manifest);
}

std::string EncodeReleaseManifest(const TReleaseManifest& manifest) {
    document_json::TJsonWriter w;
    auto& writer = w.Json;
    const auto text = [&](std::string_view value) { w.Text(value); };
    writer.StartObject();
    writer.Key("format");
    text(kManifestFormat);
    w.SignerNames(manifest);
    writer.Key("serial");
    writer.Uint64(manifest.Serial);
    writer.Key("expires");
    text(document_text::UtcInstantText(manifest.ExpiresUnix, "The expiry"));
    writer.Key("files");
    writer.StartArray();
    for (const auto& file : manifest.Files) {
        writer.StartObject();
        writer.Key("name");
        text(file.Name);
        writer.Key("size");
        writer.Uint64(file.Size);
        writer.Key("sha256");
        text(HexOf(file.Sha256));
        writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();
    return w.Result();
}

const TManifestFile* FindManifestFile(const TReleaseManifest& manifest, std::string_view name) {
    for (const auto& file : manifest.Files) {
        if (SameIgnoringAsciiCase(file.Name, name)) return &file;
    }
    return nullptr;
}

std::array<uint8_t, 64> DecodePublisherKey(std::string_view text) {
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    if (text.substr(0, kPublisherKeyPrefix.size()) != kPublisherKeyPrefix)
        Fail("The publisher key is not an ECDSA P-256 key (it does not start with \"" +
             std::string(kPublisherKeyPrefix) + "\")");
    const auto point = Base64Decode(text.substr(kPublisherKeyPrefix.size()));
    if (!point) Fail("The publisher key is not valid base64");
    if (point->size() != 65 || point->front() != 0x04)
        Fail("The publisher key is not an uncompressed P-256 point (65 bytes starting with 04)");
    std::array<uint8_t, 64> xy{};
    std::copy(point->begin() + 1, point->end(), xy.begin());
    return xy;
}

std::string EncodePublisherKey(const std::array<uint8_t, 64>& point) {
    uint8_t uncompressed[65] = {0x04};
    std::copy(point.begin(), point.end(), uncompressed + 1);
    return std::string(kPublisherKeyPrefix) + Base64Encode(uncompressed, sizeof uncompressed);
}
