#include "common/listing_json.h"

#include "common/json_writer.h"

std::string ListingJson(const std::vector<ListingEntry>& files) {
    std::string out = "[";
    for (size_t i = 0; i < files.size(); ++i) {
        out += i ? ",\n{\"FileName\":" : "\n{\"FileName\":";
        AppendJsonString(out, files[i].name);
        out += ",\"Age\":";
        AppendJsonString(out, files[i].age);
        out += '}';
    }
    out += files.empty() ? "]" : "\n]";
    return out;
}

std::string ErrorRecordJson(int status, std::string_view error, std::string_view detail) {
    JsonWriter json;
    json.StartObject().Member("Error", error).Member("Status", status).Member("Detail", detail).EndObject();
    return json.Text();
}
