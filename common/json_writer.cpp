#include "common/json_writer.h"

namespace {

rapidjson::SizeType Size(std::string_view text) { return static_cast<rapidjson::SizeType>(text.size()); }

}  // namespace

JsonWriter& JsonWriter::StartObject() {
    writer_.StartObject();
    return *this;
}
JsonWriter& JsonWriter::EndObject() {
    writer_.EndObject();
    return *this;
}
JsonWriter& JsonWriter::StartArray() {
    writer_.StartArray();
    return *this;
}
JsonWriter& JsonWriter::EndArray() {
    writer_.EndArray();
    return *this;
}
JsonWriter& JsonWriter::Key(std::string_view name) {
    writer_.Key(name.data(), Size(name));
    return *this;
}
JsonWriter& JsonWriter::String(std::string_view text) {
    writer_.String(text.data(), Size(text));
    return *this;
}
JsonWriter& JsonWriter::Unsigned(uint64_t value) {
    writer_.Uint64(value);
    return *this;
}
JsonWriter& JsonWriter::Signed(int64_t value) {
    writer_.Int64(value);
    return *this;
}
JsonWriter& JsonWriter::Bool(bool value) {
    writer_.Bool(value);
    return *this;
}
JsonWriter& JsonWriter::Null() {
    writer_.Null();
    return *this;
}

void AppendJsonString(std::string& out, std::string_view text) {
    JsonStringStream stream{out};
    rapidjson::Writer<JsonStringStream> writer(stream);
    writer.String(text.data(), Size(text));
}
