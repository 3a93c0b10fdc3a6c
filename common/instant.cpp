#include "common/instant.h"

#include <array>
#include <cstdio>

#include "common/calendar.h"

namespace {

constexpr int64_t kSecondsPerDay = 86'400;
constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 7> kWeekdays = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};

// Reads a text from left to right; any step that does not match leaves it failed.
class Reader {
  public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool Ok() const { return ok_; }
    bool AtEnd() const { return pos_ == text_.size(); }
    char Peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }

    void Literal(std::string_view expected) {
        if (text_.substr(pos_, expected.size()) == expected)
            pos_ += expected.size();
        else
            ok_ = false;
    }
    void Blanks() {
        while (Peek() == ' ') ++pos_;
    }
    void Letters() {
        const size_t start = pos_;
        while ((Peek() >= 'a' && Peek() <= 'z') || (Peek() >= 'A' && Peek() <= 'Z')) ++pos_;
        if (pos_ == start) ok_ = false;
    }
    // Between `least` and `most` digits.
    int Number(size_t least, size_t most) {
        int value = 0;
        size_t count = 0;
        while (count < most && Peek() >= '0' && Peek() <= '9') {
            value = value * 10 + (Peek() - '0');
            ++pos_;
            ++count;
        }
        if (count < least) ok_ = false;
        return value;
    }
    int Month() {
        for (size_t i = 0; i < kMonths.size(); ++i) {
            if (text_.substr(pos_, 3) == kMonths[i]) {
                pos_ += 3;
                return static_cast<int>(i) + 1;
            }
        }
        ok_ = false;
        return 0;
    }
    // "YYYY-MM-DD" + separator + "HH:MM:SS"
    void DateAndTime(CivilTime& parts, std::string_view separator) {
        parts.year = Number(4, 4);
        Literal("-");
        parts.month = Number(2, 2);
        Literal("-");
        parts.day = Number(2, 2);
        Literal(separator);
        Time(parts);
    }
    void Time(CivilTime& parts) {
        parts.hour = Number(2, 2);
        Literal(":");
        parts.minute = Number(2, 2);
        Literal(":");
        parts.second = Number(2, 2);
    }

  private:
    std::string_view text_;
    size_t pos_ = 0;
    bool ok_ = true;
};

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

int64_t FloorDiv(int64_t value, int64_t by) { return (value >= 0 ? value : value - (by - 1)) / by; }

}  // namespace

CivilTime CivilTimeOf(Instant instant) {
    const int64_t days = FloorDiv(instant.unixSeconds, kSecondsPerDay);
    const int64_t second = instant.unixSeconds - days * kSecondsPerDay;
    const CivilDate date = CivilFromDays(days);
    return {date.year,
            date.month,
            date.day,
            static_cast<int>(second / 3600),
            static_cast<int>(second / 60 % 60),
            static_cast<int>(second % 60)};
}

std::optional<Instant> InstantOf(const CivilTime& utc) {
    if (!IsValidDate(utc.year, utc.month, utc.day) || !IsValidTime(utc.hour, utc.minute, utc.second, 0))
        return std::nullopt;
    return Instant{DaysFromCivil(utc.year, utc.month, utc.day) * kSecondsPerDay +
                   (utc.hour * 60LL + utc.minute) * 60 + utc.second};
}

std::string UtcText(Instant instant) {
    if (!IsWritable(instant)) return {};
    const CivilTime t = CivilTimeOf(instant);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return text;
}

std::optional<Instant> ParseUtcText(std::string_view text) {
    Reader r(text);
    CivilTime parts;
    r.DateAndTime(parts, "T");
    r.Literal("Z");
    if (!r.Ok() || !r.AtEnd()) return std::nullopt;
    return InstantOf(parts);
}

std::string OffsetTimeText(const CivilTime& local, int offsetMinutes, int millisecond) {
    const int offset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char text[48];
    int length = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", local.year, local.month,
                               local.day, local.hour, local.minute, local.second);
    if (millisecond >= 0 && millisecond < 1000)
        length +=
            std::snprintf(text + length, sizeof text - static_cast<size_t>(length), ".%03d", millisecond);
    std::snprintf(text + length, sizeof text - static_cast<size_t>(length), "%c%02d:%02d",
                  offsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);
    return text;
}

std::optional<Instant> ParseOffsetTime(std::string_view text) {
    Reader r(text);
    CivilTime parts;
    r.DateAndTime(parts, "T");
    int offset = 0;
    if (r.Peek() == 'Z') {
        r.Literal("Z");
    } else {
        const int sign = r.Peek() == '+' ? 1 : r.Peek() == '-' ? -1 : 0;
        r.Literal(sign > 0 ? "+" : "-");
        const int hours = r.Number(2, 2);
        r.Literal(":");
        const int minutes = r.Number(2, 2);
        if (hours > 14 || minutes > 59) return std::nullopt;
        offset = sign * (hours * 60 + minutes);
    }
    if (!r.Ok() || !r.AtEnd()) return std::nullopt;
    const auto local = InstantOf(parts);
    if (!local) return std::nullopt;
    // Near the ends of the calendar an offset can carry the instant past them.
    const Instant instant{local->unixSeconds - offset * 60LL};
    if (!IsWritable(instant)) return std::nullopt;
    return instant;
}

std::string HttpDateText(Instant instant) {
    if (!IsWritable(instant)) return {};
    const CivilTime t = CivilTimeOf(instant);
    const int64_t weekday = FloorDiv(instant.unixSeconds, kSecondsPerDay) % 7;  // 1970-01-01 was a Thursday
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT",
                  kWeekdays[static_cast<size_t>((weekday + 7) % 7)].data(), t.day,
                  kMonths[t.month - 1].data(), t.year, t.hour, t.minute, t.second);
    return text;
}

std::optional<Instant> ParseHttpDate(std::string_view text) {
    Reader r(Trimmed(text));
    CivilTime parts;
    r.Letters();  // the day's name
    if (r.Peek() == ',') {
        r.Literal(",");
        r.Blanks();
        parts.day = r.Number(2, 2);
        if (r.Peek() == '-') {  // Sunday, 06-Nov-94 08:49:37 GMT
            r.Literal("-");
            parts.month = r.Month();
            r.Literal("-");
            parts.year = r.Number(2, 2);
            parts.year += parts.year < 70 ? 2000 : 1900;
        } else {  // Sun, 06 Nov 1994 08:49:37 GMT
            r.Literal(" ");
            parts.month = r.Month();
            r.Literal(" ");
            parts.year = r.Number(4, 4);
        }
        r.Literal(" ");
        r.Time(parts);
        r.Literal(" GMT");
    } else {  // Sun Nov  6 08:49:37 1994
        r.Literal(" ");
        parts.month = r.Month();
        r.Blanks();
        parts.day = r.Number(1, 2);
        r.Literal(" ");
        r.Time(parts);
        r.Literal(" ");
        parts.year = r.Number(4, 4);
    }
    if (!r.Ok() || !r.AtEnd() || parts.year < 1970 || parts.year > 2200) return std::nullopt;
    // A leap second names the same instant as the second after it.
    const bool leapSecond = parts.second == 60;
    if (leapSecond) parts.second = 59;
    const auto instant = InstantOf(parts);
    if (!instant) return std::nullopt;
    return Instant{instant->unixSeconds + (leapSecond ? 1 : 0)};
}
