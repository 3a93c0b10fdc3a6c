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
#include "base/date_time.h"

namespace {

constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag |
                                 rapidjson::kParseValidateEncodingFlag;

constexpr int64_t kSecondsPerDay = 86'400;
constexpr int64_t kUnixEpochDay = 25'569;  // 1970-01-01 in days since 1899-12-30

[[noreturn]] void Fail(const std::string& message) { throw TManifestError(message); }

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

std::string AsciiLowered(std::string_view text) {
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), AsciiLower);
    return lowered;
}

// JSON number text that is a plain unsigned integer; a sign, fraction or exponent is refused
// rather than rounded, and so is a value past 64 bits.
uint64_t UnsignedFrom(std::string_view member, std::string_view digits) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || digits.front() == '-' || error != std::errc() ||
        end != digits.data() + digits.size())
        Fail("\"" + std::string(member) + "\" is not an unsigned integer: " + std::string(digits));
    return value;
}

int DigitsValue(std::string_view text, size_t at, size_t count, bool& ok) {
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') ok = false;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// "YYYY-MM-DDTHH:MM:SSZ" and nothing else: one form, one meaning, no time zone to apply.
int64_t UnixSecondsFrom(std::string_view text) {
    bool ok = text.size() == 20 && text[4] == '-' && text[7] == '-' && text[10] == 'T' && text[13] == ':' &&
              text[16] == ':' && text[19] == 'Z';
    if (ok) {
        const int year = DigitsValue(text, 0, 4, ok), month = DigitsValue(text, 5, 2, ok);
        const int day = DigitsValue(text, 8, 2, ok), hour = DigitsValue(text, 11, 2, ok);
        const int minute = DigitsValue(text, 14, 2, ok), second = DigitsValue(text, 17, 2, ok);
        if (ok && IsValidDate(year, month, day) && IsValidTime(hour, minute, second, 0)) {
            const int64_t days = DaysSinceEpoch(year, month, day) - kUnixEpochDay;
            return days * kSecondsPerDay + (hour * 60LL + minute) * 60 + second;
        }
    }
    Fail("\"expires\" is not a UTC instant of the form YYYY-MM-DDTHH:MM:SSZ: " + std::string(text));
}

constexpr int64_t kFirstInstant = -62'135'596'800;  // 0001-01-01T00:00:00Z
constexpr int64_t kLastInstant = 253'402'300'799;   // 9999-12-31T23:59:59Z

std::string UtcText(int64_t unixSeconds) {
    if (unixSeconds < kFirstInstant || unixSeconds > kLastInstant)
        Fail("The expiry lies outside the years 1 to 9999");
    const int64_t dayNumber =
        (unixSeconds >= 0 ? unixSeconds : unixSeconds - (kSecondsPerDay - 1)) / kSecondsPerDay;
    const int64_t secondOfDay = unixSeconds - dayNumber * kSecondsPerDay;
    const DateTimeParts date = DecodeDateTime(static_cast<TDateTime>(dayNumber + kUnixEpochDay));
    char text[32];
    const int length =
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", date.year, date.month, date.day,
                      static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
                      static_cast<int>(secondOfDay % 60));
    return std::string(text, static_cast<size_t>(length));
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

TSha256 Sha256From(std::string_view hex) {
    TSha256 hash{};
    bool ok = hex.size() == 2 * hash.size();
    for (size_t i = 0; ok && i < hash.size(); ++i) {
        const int high = HexValue(hex[2 * i]), low = HexValue(hex[2 * i + 1]);
        ok = high >= 0 && low >= 0;
        hash[i] = static_cast<uint8_t>(high << 4 | low);
    }
    if (!ok) Fail("\"sha256\" is not 64 hex digits: " + std::string(hex));
    return hash;
}

std::string HexOf(const TSha256& hash) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const uint8_t byte : hash) {
        hex.push_back(kDigits[byte >> 4]);
        hex.push_back(kDigits[byte & 15]);
    }
    return hex;
}

// A name as a message shows it: quoted, with control characters (a NUL above all) written as escapes.
std::string Shown(std::string_view name) {
    std::string shown = "\"";
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            shown += escape;
        } else {
            shown.push_back(c);
        }
    }
    return shown + "\"";
}

// A name the launcher can join under its folder without leaving it or naming something else: a
// relative path of backslash-separated levels, none empty, "." or "..", with no character that no
// Windows name may hold (the colon also opens drives and alternate streams).
void CheckName(std::string_view name) {
    const auto refuse = [&](const char* why) { Fail("File name " + Shown(name) + " " + why); };
    if (name.empty()) Fail("A file name is empty");
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 ||
            std::string_view("\"*/:<>?|").find(c) != std::string_view::npos)
            refuse("holds a character that no Windows file name may hold");
    }
    size_t start = 0;
    while (true) {
        const size_t end = std::min(name.find('\\', start), name.size());
        const std::string_view level = name.substr(start, end - start);
        if (level.empty()) refuse(start == 0 ? "is rooted" : "has an empty level");
        if (level == "." || level == "..") refuse("has a \".\" or \"..\" level");
        if (end == name.size()) break;
        start = end + 1;
    }
}

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
            return FMember != "format" && FMember != "serial" && FMember != "expires" && FMember != "files";
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
            Manifest.ExpiresUnix = UnixSecondsFrom(text);
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

void CheckNamesAreDistinct(const std::vector<TManifestFile>& files) {
    std::vector<std::pair<std::string, size_t>> names;  // lowered name, position
    names.reserve(files.size());
    for (size_t i = 0; i < files.size(); ++i) names.emplace_back(AsciiLowered(files[i].Name), i);
    std::sort(names.begin(), names.end());
    const auto twice = std::adjacent_find(names.begin(), names.end(),
                                          [](const auto& a, const auto& b) { return a.first == b.first; });
    if (twice != names.end())
        Fail("File name " + Shown(files[std::next(twice)->second].Name) +
             " is listed twice (letter case aside, as on Windows)");
}

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
    CheckNamesAreDistinct(handler.Manifest.Files);
    return std::move(handler.Manifest);
}

std::string EncodeReleaseManifest(const TReleaseManifest& manifest) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    const auto text = [&](std::string_view value) {
        writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
    };
    writer.StartObject();
    writer.Key("format");
    text(kManifestFormat);
    writer.Key("serial");
    writer.Uint64(manifest.Serial);
    writer.Key("expires");
    text(UtcText(manifest.ExpiresUnix));
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
    return std::string(buffer.GetString(), buffer.GetSize());
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
