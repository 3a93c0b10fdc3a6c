#pragma once
// The one JSON writer: RapidJSON's, writing compact JSON into a string. Strings are escaped by it
// ("\"", "\\", control characters) and copied byte for byte otherwise, so a caller that must send
// valid UTF-8 makes its text so first. Portable.
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include <rapidjson/writer.h>

// RapidJSON's output stream over a std::string, so that nothing is copied once more at the end.
struct JsonStringStream {
    using Ch = char;
    std::string& out;
    void Put(char c) { out.push_back(c); }
    void Flush() {}
};

class JsonWriter {
  public:
    JsonWriter() = default;
    JsonWriter(const JsonWriter&) = delete;
    JsonWriter& operator=(const JsonWriter&) = delete;

    JsonWriter& StartObject();
    JsonWriter& EndObject();
    JsonWriter& StartArray();
    JsonWriter& EndArray();
    JsonWriter& Key(std::string_view name);
    JsonWriter& String(std::string_view text);
    JsonWriter& Unsigned(uint64_t value);
    JsonWriter& Signed(int64_t value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    // A member of the object being written.
    template <class T>
    JsonWriter& Member(std::string_view name, const T& value) {
        Key(name);
        if constexpr (std::is_same_v<T, bool>)
            return Bool(value);
        else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>)
            return Signed(value);
        else if constexpr (std::is_integral_v<T>)
            return Unsigned(value);
        else
            return String(value);
    }

    // What has been written so far; whole JSON once every object and array is closed.
    const std::string& Text() const { return text_; }

  private:
    std::string text_;
    JsonStringStream stream_{text_};
    rapidjson::Writer<JsonStringStream> writer_{stream_};
};

// One JSON string, quotes included, appended to `out`: for texts that are spliced into JSON built
// piece by piece.
void AppendJsonString(std::string& out, std::string_view text);
