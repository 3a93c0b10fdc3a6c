// Decoding of records from JSON. The text is read in one streaming pass (RapidJSON's SAX reader,
// iterative, numbers kept as written) that decodes records as their members arrive; nothing of
// the document is kept beyond the record being filled. A decoding failure is held until the
// whole text has been read, because a text that is not JSON at all has its own message.
#include <charconv>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>

#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/string_convert.h"
#include "update/records/file_info.h"
#include "update/records/iso8601.h"

namespace {

constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;

enum class JSONKind { Null, Bool, Number, String, Object, Array };

bool SameLetters(std::string_view AMember, std::string_view AFieldWithoutF) {
    if (AMember.size() != AFieldWithoutF.size()) return false;
    for (size_t i = 0; i < AMember.size(); ++i) {
        char a = AMember[i], b = AFieldWithoutF[i];
        if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
        if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
        if (a != b) return false;
    }
    return true;
}

// A 32-bit integer written in decimal with an optional sign; anything else is 0.
int32_t ToInt32OrZero(std::string_view AText) {
    if (!AText.empty() && AText.front() == '+') AText.remove_prefix(1);
    int32_t value = 0;
    const auto [end, error] = std::from_chars(AText.data(), AText.data() + AText.size(), value);
    if (AText.empty() || error != std::errc() || end != AText.data() + AText.size()) return 0;
    return value;
}

// A JSON number as decimal text for the date-time reader: integers as written, others through
// their double value in the shortest form that reads back the same.
std::string NumberAsDecimalText(std::string_view ANumber) {
    if (ANumber.find_first_of(".eE") == std::string_view::npos) return std::string(ANumber);
    double value = 0;
    const auto parsed = std::from_chars(ANumber.data(), ANumber.data() + ANumber.size(), value);
    if (parsed.ec != std::errc()) return std::string(ANumber);
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, written.ptr);
}

void AssignUtf8(std::wstring& AField, std::string_view AText) {
    for (const char c : AText) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            AField = Utf8ToWide(AText);
            return;
        }
    }
    AField.assign(AText.begin(), AText.end());  // ASCII: one character per byte
}

// Fills one record of class T from its members, in document order.
template <class T>
class RecordFiller {
  public:
    RecordFiller() : FRecord(std::make_unique<T>()) {}

    // Chooses the field the next value goes to; a member that reaches no field is skipped.
    void Member(std::string_view AName) {
        FField = nullptr;
        for (const auto& field : T::JSONFields()) {
            if (SameLetters(AName, field.Name.substr(1))) {
                FField = &field;
                FMemberName.assign(AName);
                return;
            }
        }
    }

    bool WantsCompoundText() const {
        return FField != nullptr && std::holds_alternative<TDateTime T::*>(FField->Target);
    }

    // A scalar value, or an object or array (AText: its JSON text when WantsCompoundText()).
    void Value(JSONKind AKind, std::string_view AText) {
        if (FField == nullptr) return;
        T& record = *FRecord;
        std::visit(
            [&](auto member) {
                using Field = std::remove_reference_t<decltype(record.*member)>;
                if constexpr (std::is_same_v<Field, std::wstring>) {
                    AssignText(record.*member, AKind, AText);
                } else if constexpr (std::is_same_v<Field, int32_t>) {
                    AssignInteger(record.*member, AKind, AText);
                } else {
                    AssignDateTime(record.*member, AKind, AText);
                }
            },
            FField->Target);
    }

    std::unique_ptr<T> Take() { return std::move(FRecord); }

  private:
    [[noreturn]] void FailArray(const char* ATypeName) const {
        throw EInvalidCast("Cannot set value for field " + FMemberName +
                           " as it is expected to be an array instead of " + ATypeName);
    }

    void AssignText(std::wstring& AField, JSONKind AKind, std::string_view AText) const {
        switch (AKind) {
            case JSONKind::String:
            case JSONKind::Number:
                AssignUtf8(AField, AText);
                break;
            case JSONKind::Null:
                AField.clear();
                break;
            case JSONKind::Bool:
                throw EInvalidCast("Invalid class typecast");
            case JSONKind::Object:
                break;
            case JSONKind::Array:
                FailArray("string");
        }
    }

    void AssignInteger(int32_t& AField, JSONKind AKind, std::string_view AText) const {
        switch (AKind) {
            case JSONKind::String:
            case JSONKind::Number:
                AField = ToInt32OrZero(AText);
                break;
            case JSONKind::Null:
                AField = 0;
                break;
            case JSONKind::Bool:
                throw EInvalidCast("Invalid class typecast");
            case JSONKind::Object:
                break;
            case JSONKind::Array:
                FailArray("Integer");
        }
    }

    void AssignDateTime(TDateTime& AField, JSONKind AKind, std::string_view AText) const {
        switch (AKind) {
            case JSONKind::String:
                AField = ISO8601ToDateUtf8(AText);
                break;
            case JSONKind::Number:
                AField = ISO8601ToDateUtf8(NumberAsDecimalText(AText));
                break;
            case JSONKind::Null:
                break;  // keeps what the record had
            default:
                throw EConvertError("JSON object expected for field F" + FMemberName + " in JSON " +
                                    std::string(AText));
        }
    }

    std::unique_ptr<T> FRecord;
    const TJSONField<T>* FField = nullptr;
    std::string FMemberName;
};

// Receives the reader's events. Records are the root object (ARootIsRecord) or the objects that
// are elements of the root array; decoded records go to ARecords in order. After the first
// failure it only follows the structure, so that the reader still checks the rest of the text.
template <class T>
class RecordsHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, RecordsHandler<T>> {
  public:
    RecordsHandler(bool ARootIsRecord, std::vector<std::unique_ptr<T>>& ARecords)
        : FRecordDepth(ARootIsRecord ? 1 : 2), FRecords(ARecords) {}

    std::optional<JSONKind> RootKind;
    size_t ElementCount = 0;  // elements of a root array, decoded or not
    std::exception_ptr Failure;

    bool Null() { return FCapturing ? FWriter.Null() : Scalar(JSONKind::Null, "null"); }
    bool Bool(bool AValue) {
        return FCapturing ? FWriter.Bool(AValue) : Scalar(JSONKind::Bool, AValue ? "true" : "false");
    }
    bool RawNumber(const char* AText, rapidjson::SizeType ALength, bool) {
        if (FCapturing)
            return FWriter.RawValue(AText, ALength, rapidjson::kNumberType);  // unquoted, as written
        return Scalar(JSONKind::Number, std::string_view(AText, ALength));
    }
    bool String(const char* AText, rapidjson::SizeType ALength, bool) {
        if (FCapturing) return FWriter.String(AText, ALength);
        return Scalar(JSONKind::String, std::string_view(AText, ALength));
    }
    bool Key(const char* AText, rapidjson::SizeType ALength, bool) {
        if (FCapturing) return FWriter.Key(AText, ALength);
        if (FFiller && FDepth == FRecordDepth) FFiller->Member(std::string_view(AText, ALength));
        return true;
    }
    bool StartObject() { return Open(JSONKind::Object); }
    bool StartArray() { return Open(JSONKind::Array); }
    bool EndObject(rapidjson::SizeType AMembers) { return Close(JSONKind::Object, AMembers); }
    bool EndArray(rapidjson::SizeType AElements) { return Close(JSONKind::Array, AElements); }

  private:
    // Depth of the value now arriving: 0 the root, 1 an element or member of the root, ...
    bool AtRecordMember() const { return FFiller && FDepth == FRecordDepth; }
    bool AtRecordStart() const {
        return !Failure && FDepth == FRecordDepth - 1 && (FDepth == 0 || RootKind == JSONKind::Array);
    }

    bool Scalar(JSONKind AKind, std::string_view AText) {
        if (FDepth == 0) RootKind = AKind;
        if (FDepth == 1 && RootKind == JSONKind::Array) ++ElementCount;
        if (AtRecordStart()) Fail(EConvertError("The input value is not a valid Object"));
        if (AtRecordMember()) Guard([&] { FFiller->Value(AKind, AText); });
        return true;
    }

    bool Open(JSONKind AKind) {
        if (FCapturing) {
            ++FDepth;
            return AKind == JSONKind::Object ? FWriter.StartObject() : FWriter.StartArray();
        }
        if (FDepth == 0) RootKind = AKind;
        if (FDepth == 1 && RootKind == JSONKind::Array) ++ElementCount;
        if (AtRecordStart()) {
            if (AKind == JSONKind::Object)
                FFiller.emplace();
            else
                Fail(EConvertError("The input value is not a valid Object"));
        } else if (AtRecordMember()) {
            if (FFiller->WantsCompoundText()) {
                FCapturing = true;
                FCaptureDepth = FDepth;
                FText.Clear();
                FWriter.Reset(FText);
                ++FDepth;
                return AKind == JSONKind::Object ? FWriter.StartObject() : FWriter.StartArray();
            }
            Guard([&] { FFiller->Value(AKind, {}); });
        }
        ++FDepth;
        return true;
    }

    bool Close(JSONKind AKind, rapidjson::SizeType ACount) {
        --FDepth;
        if (FCapturing) {
            if (AKind == JSONKind::Object)
                FWriter.EndObject(ACount);
            else
                FWriter.EndArray(ACount);
            if (FDepth == FCaptureDepth) {
                FCapturing = false;
                Guard([&] { FFiller->Value(AKind, std::string_view(FText.GetString(), FText.GetSize())); });
            }
            return true;
        }
        if (FFiller && FDepth == FRecordDepth - 1) {
            FRecords.push_back(FFiller->Take());
            FFiller.reset();
        }
        return true;
    }

    template <class F>
    void Guard(F&& AStep) {
        try {
            AStep();
        } catch (...) {
            Failure = std::current_exception();
            FFiller.reset();  // the partly filled record goes with the failure
        }
    }
    void Fail(const Error& AError) {
        Failure = std::make_exception_ptr(AError);
        FFiller.reset();
    }

    const int FRecordDepth;
    std::vector<std::unique_ptr<T>>& FRecords;
    int FDepth = 0;
    std::optional<RecordFiller<T>> FFiller;
    bool FCapturing = false;
    int FCaptureDepth = 0;
    rapidjson::StringBuffer FText;
    rapidjson::Writer<rapidjson::StringBuffer> FWriter;
};

// Wide text whose units are all ASCII, read as the UTF-8 bytes it equals: listings nearly always
// are, and this spares a copy of the whole text.
class AsciiWideStream {
  public:
    using Ch = char;
    explicit AsciiWideStream(std::wstring_view AText)
        : FBegin(AText.data()), FCurrent(AText.data()), FEnd(AText.data() + AText.size()) {}
    Ch Peek() const { return FCurrent == FEnd ? '\0' : static_cast<Ch>(*FCurrent); }
    Ch Take() { return FCurrent == FEnd ? '\0' : static_cast<Ch>(*FCurrent++); }
    size_t Tell() const { return static_cast<size_t>(FCurrent - FBegin); }
    // Never written to; the reader requires the names.
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    size_t PutEnd(Ch*) { return 0; }

  private:
    const wchar_t* FBegin;
    const wchar_t* FCurrent;
    const wchar_t* FEnd;
};

bool IsAscii(std::wstring_view AText) {
    uint32_t units = 0;  // an OR over all units: a loop the compiler vectorises
    for (const wchar_t c : AText) units |= static_cast<uint32_t>(c);
    return units < 0x80;
}

template <class T>
bool ReadRecords(std::wstring_view AJSON, RecordsHandler<T>& AHandler) {
    rapidjson::Reader reader;
    if (IsAscii(AJSON)) {
        AsciiWideStream stream(AJSON);
        return !reader.Parse<kParseFlags>(stream, AHandler).IsError();
    }
    const std::string utf8 = WideToUtf8(AJSON);
    rapidjson::MemoryStream stream(utf8.data(), utf8.size());
    return !reader.Parse<kParseFlags>(stream, AHandler).IsError();
}

}  // namespace

template <class T>
std::unique_ptr<T> RecordFromJSON(std::wstring_view AJSON) {
    std::vector<std::unique_ptr<T>> records;
    RecordsHandler<T> handler(true, records);
    if (!ReadRecords(AJSON, handler) || handler.RootKind != JSONKind::Object)
        throw EConvertError("The input value is not a valid Object");
    if (handler.Failure) std::rethrow_exception(handler.Failure);
    return std::move(records.front());
}

template std::unique_ptr<TFileInfoDTO> RecordFromJSON<TFileInfoDTO>(std::wstring_view);
template std::unique_ptr<TFileInfoErrorDTO> RecordFromJSON<TFileInfoErrorDTO>(std::wstring_view);

void TFilesInfoDTOHelper::FromJSON(TFilesInfoDTO& AList, std::wstring_view AJSON) {
    TFilesInfoDTO records;
    RecordsHandler<TFileInfoDTO> handler(false, records);
    if (!ReadRecords(AJSON, handler)) throw EJSONError("TFilesInfoDTOHelper.FromJSON");
    if (handler.RootKind != JSONKind::Array) throw EInvalidCast("Invalid class typecast");
    // Every position exists; those from a failing element on hold no record.
    AList.resize(handler.ElementCount);
    for (size_t i = 0; i < AList.size(); ++i) AList[i] = i < records.size() ? std::move(records[i]) : nullptr;
    if (handler.Failure) std::rethrow_exception(handler.Failure);
}
