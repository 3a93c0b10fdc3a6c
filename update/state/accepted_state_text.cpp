#include "update/state/accepted_state_text.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "update/trust/document_text.h"

using document_text::Fail;

namespace {

using Value = rapidjson::Value;

std::string_view NameOf(const Value& name) { return {name.GetString(), name.GetStringLength()}; }

const Value* Member(const Value& object, std::string_view name) {
    for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it)
        if (NameOf(it->name) == name) return &it->value;
    return nullptr;
}

TAcceptedSigning SigningOf(std::string_view kind, const Value& value) {
    const std::string where = "The state's \"" + std::string(kind) + "\"";
    if (!value.IsObject()) Fail(where + " is not an object");
    TAcceptedSigning signing;
    bool serial = false;
    for (auto it = value.MemberBegin(); it != value.MemberEnd(); ++it) {
        const std::string_view name = NameOf(it->name);
        if (name == "serial") {
            if (serial || !it->value.IsUint64()) Fail(where + " has no single unsigned \"serial\"");
            signing.Serial = it->value.GetUint64();
            serial = true;
        } else if (name == "sha256") {
            if (signing.Sha256 || !it->value.IsString()) Fail(where + " has no single text \"sha256\"");
            signing.Sha256 = document_text::Sha256From(NameOf(it->value));
        }
    }
    if (!serial) Fail(where + " lacks \"serial\"");
    return signing;
}

}  // namespace

TAcceptedRecord DecodeAcceptedState(std::string_view bytes, std::string* ADeployment) {
    if (bytes.size() > kAcceptedStateLimit)
        Fail("The state is larger than " + std::to_string(kAcceptedStateLimit) + " bytes");
    rapidjson::Document root;
    root.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(bytes.data(),
                                                                                       bytes.size());
    if (root.HasParseError())
        Fail(std::string("The state is not JSON: ") + rapidjson::GetParseError_En(root.GetParseError()));
    if (!root.IsObject()) Fail("The state is not a JSON object");
    const Value* format = Member(root, "format");
    if (!format || !format->IsString() || NameOf(*format) != kAcceptedStateFormat)
        Fail("The state's format is not " + std::string(kAcceptedStateFormat));
    const Value* accepted = Member(root, "accepted");
    if (!accepted || !accepted->IsObject()) Fail("The state lacks \"accepted\"");
    std::string deployment;
    if (const Value* named = Member(root, "deployment")) {
        if (!named->IsString()) Fail("The state's \"deployment\" is not a string");
        deployment = document_text::NameTextFrom("deployment", NameOf(*named));
    }
    if (ADeployment) *ADeployment = std::move(deployment);
    TAcceptedRecord record;
    for (auto it = accepted->MemberBegin(); it != accepted->MemberEnd(); ++it) {
        const std::string kind(NameOf(it->name));
        if (!record.emplace(kind, SigningOf(kind, it->value)).second)
            Fail("The state's \"" + kind + "\" is given twice");
    }
    return record;
}

std::string EncodeAcceptedState(const TAcceptedRecord& record, std::string_view ADeployment) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> json(buffer);
    json.StartObject();
    json.Key("format");
    json.String(kAcceptedStateFormat.data(), static_cast<rapidjson::SizeType>(kAcceptedStateFormat.size()));
    json.Key("accepted");
    json.StartObject();
    for (const auto& [kind, signing] : record) {
        json.Key(kind.data(), static_cast<rapidjson::SizeType>(kind.size()));
        json.StartObject();
        json.Key("serial");
        json.Uint64(signing.Serial);
        if (signing.Sha256) {
            const std::string hex = document_text::HexOf(*signing.Sha256);
            json.Key("sha256");
            json.String(hex.data(), static_cast<rapidjson::SizeType>(hex.size()));
        }
        json.EndObject();
    }
    json.EndObject();
    if (!ADeployment.empty()) {
        const std::string deployment = document_text::NameTextFrom("deployment", ADeployment);
        json.Key("deployment");
        json.String(deployment.data(), static_cast<rapidjson::SizeType>(deployment.size()));
    }
    json.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

TAcceptedRecord MergedAcceptedState(const TAcceptedRecord& AKept, const TAcceptedRecord& AOther) {
    TAcceptedRecord merged = AKept;
    for (const auto& [kind, other] : AOther) {
        const auto [it, added] = merged.emplace(kind, other);
        if (added) continue;
        TAcceptedSigning& kept = it->second;
        if (other.Serial > kept.Serial)
            kept = other;
        else if (other.Serial == kept.Serial && !kept.Sha256)
            kept.Sha256 = other.Sha256;
    }
    return merged;
}
