#include "update/records/iso8601.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "base/string_convert.h"

namespace {

constexpr int64_t kMsPerDay = 86'400'000;

std::mutex g_formatLock;
TDateTimeFormat& FormatSetting() {
    static TDateTimeFormat format;
    return format;
}

// Messages are UTF-8; the reader runs on wide text and, for ASCII, straight on UTF-8 bytes.
std::string TextOf(std::wstring_view AText) { return WideToUtf8(AText); }
std::string TextOf(std::string_view AText) { return std::string(AText); }

template <class Ch>
bool IsDigit(Ch c) {
    return c >= Ch('0') && c <= Ch('9');
}

// Reads up to AMax ASCII digits at APos; returns how many it read.
template <class Ch>
int ReadDigits(std::basic_string_view<Ch> AText, size_t& APos, int AMax, int64_t& AValue) {
    AValue = 0;
    int count = 0;
    while (count < AMax && APos < AText.size() && IsDigit(AText[APos])) {
        AValue = AValue * 10 + (AText[APos] - Ch('0'));
        ++APos;
        ++count;
    }
    return count;
}

template <class Ch>
[[noreturn]] void FailDate(std::basic_string_view<Ch> ADatePart) {
    throw EDateTimeException("Invalid date string: " + TextOf(ADatePart));
}
template <class Ch>
[[noreturn]] void FailTime(std::basic_string_view<Ch> ATimePart) {
    throw EDateTimeException("Invalid time string: " + TextOf(ATimePart));
}
template <class Ch>
[[noreturn]] void FailOffset(std::basic_string_view<Ch> ATimePart) {
    throw EDateTimeException("Invalid time Offset string: " + TextOf(ATimePart));
}

template <class Ch>
void ReadDate(std::basic_string_view<Ch> ADatePart, DateTimeParts& AParts) {
    std::basic_string_view<Ch> date = ADatePart;
    if (!date.empty() && date.front() == Ch('-')) date.remove_prefix(1);
    if (date.size() < 4) FailDate(ADatePart);
    const bool extended = date.find(Ch('-')) != std::basic_string_view<Ch>::npos;
    size_t pos = 0;
    int64_t year = 0, month = 0, day = 0;
    if (ReadDigits(date, pos, 4, year) == 0) FailDate(ADatePart);
    // A missing month or day stays 0, which the validity check then rejects.
    for (int64_t* component : {&month, &day}) {
        if (pos >= date.size()) break;
        if (extended) {
            if (date[pos] != Ch('-')) FailDate(ADatePart);
            ++pos;
        }
        ReadDigits(date, pos, 2, *component);
    }
    AParts.year = static_cast<int>(year);
    AParts.month = static_cast<int>(month);
    AParts.day = static_cast<int>(day);
}

struct ZoneOffset {
    bool present = false;
    int64_t minutes = 0;  // signed: local time minus UTC
};

template <class Ch>
ZoneOffset ReadTime(std::basic_string_view<Ch> ATime, DateTimeParts& AParts) {
    ZoneOffset zone;
    AParts.hour = AParts.minute = AParts.second = AParts.millisecond = 0;
    if (ATime.empty()) return zone;
    const bool extended = ATime.find(Ch(':')) != std::basic_string_view<Ch>::npos;
    size_t pos = 0;
    int64_t value = 0;
    if (ReadDigits(ATime, pos, 2, value) == 0) FailTime(ATime);
    AParts.hour = static_cast<int>(value);

    // Minutes, seconds and the fraction are each read only while two characters remain. A sign in
    // the separator's place leaves the component empty: the offset begins there.
    auto separatorAllows = [&](Ch ASeparator) {
        const Ch c = ATime[pos];
        if (ASeparator != 0 && c == ASeparator) {
            ++pos;
            return true;
        }
        if (c == Ch('+') || c == Ch('-')) return false;
        if (ASeparator != 0) FailTime(ATime);
        return true;
    };
    const Ch clockSeparator = extended ? Ch(':') : Ch(0);
    if (ATime.size() - pos >= 2) {
        if (!separatorAllows(clockSeparator) || ReadDigits(ATime, pos, 2, value) == 0) FailTime(ATime);
        AParts.minute = static_cast<int>(value);
        if (ATime.size() - pos >= 2) {
            if (separatorAllows(clockSeparator)) {
                ReadDigits(ATime, pos, 2, value);
                AParts.second = static_cast<int>(value);
            }
            if (ATime.size() - pos >= 2 && separatorAllows(Ch('.'))) {
                int64_t fraction = 0;
                const int digits = ReadDigits(ATime, pos, 18, fraction);
                if (digits > 3) {
                    // Round to whole milliseconds, exact halves to the even neighbour.
                    int64_t divisor = 1;
                    for (int i = 3; i < digits; ++i) divisor *= 10;
                    int64_t ms = fraction / divisor;
                    const int64_t rest = fraction % divisor;
                    if (rest * 2 > divisor || (rest * 2 == divisor && ms % 2 == 1)) ++ms;
                    AParts.millisecond = static_cast<int>(ms);
                } else {
                    for (int i = digits; i < 3; ++i) fraction *= 10;
                    AParts.millisecond = static_cast<int>(fraction);
                }
            }
        }
    }

    if (pos < ATime.size() && (ATime[pos] == Ch('+') || ATime[pos] == Ch('-'))) {
        const int64_t sign = ATime[pos] == Ch('-') ? -1 : 1;
        ++pos;
        if (pos >= ATime.size() || !IsDigit(ATime[pos])) FailTime(ATime);
        int64_t hours = 0, minutes = 0;
        ReadDigits(ATime, pos, 2, hours);
        if (ATime.size() - pos >= 2) {
            if (ATime[pos] != Ch(':')) FailOffset(ATime);
            ++pos;
            ReadDigits(ATime, pos, 2, minutes);
        }
        zone.present = true;
        zone.minutes = sign * (hours * 60 + minutes);
    }
    return zone;
}

// A day count and a millisecond of the day as a date-time value: before the epoch the fraction
// counts away from zero, as the value's classic form has it.
TDateTime ToDateTime(int64_t AMilliseconds) {
    int64_t days = AMilliseconds / kMsPerDay;
    int64_t msOfDay = AMilliseconds % kMsPerDay;
    if (msOfDay < 0) {
        msOfDay += kMsPerDay;
        --days;
    }
    const double fraction = static_cast<double>(msOfDay) / static_cast<double>(kMsPerDay);
    return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

void AppendNumber(std::wstring& AOut, int64_t AValue, int AWidth) {
    std::wstring digits = std::to_wstring(AValue < 0 ? -AValue : AValue);
    if (static_cast<int>(digits.size()) < AWidth) digits.insert(0, AWidth - digits.size(), L'0');
    if (AValue < 0) AOut.push_back(L'-');
    AOut += digits;
}

void AppendPicture(std::wstring& AOut, std::wstring_view APicture, const DateTimeParts& AParts,
                   const TDateTimeFormat& AFormat) {
    for (size_t i = 0; i < APicture.size();) {
        const wchar_t c = APicture[i];
        if (c == L'\'') {  // quoted literal; '' inside quotes is one quote
            size_t j = i + 1;
            while (j < APicture.size()) {
                if (APicture[j] == L'\'') {
                    if (j + 1 < APicture.size() && APicture[j + 1] == L'\'') {
                        AOut.push_back(L'\'');
                        j += 2;
                        continue;
                    }
                    break;
                }
                AOut.push_back(APicture[j++]);
            }
            i = j + 1;
            continue;
        }
        size_t run = 1;
        while (i + run < APicture.size() && APicture[i + run] == c) ++run;
        const int width = run >= 2 ? 2 : 1;
        const int hour12 = AParts.hour % 12 == 0 ? 12 : AParts.hour % 12;
        switch (c) {
            case L'd':
                AppendNumber(AOut, AParts.day, width);
                break;
            case L'M':
                AppendNumber(AOut, AParts.month, width);
                break;
            case L'y':
                if (run >= 3)
                    AppendNumber(AOut, AParts.year, 4);
                else
                    AppendNumber(AOut, AParts.year % 100, width);
                break;
            case L'g':
                break;  // era: not written for numeric components
            case L'H':
                AppendNumber(AOut, AParts.hour, width);
                break;
            case L'h':
                AppendNumber(AOut, hour12, width);
                break;
            case L'm':
                AppendNumber(AOut, AParts.minute, width);
                break;
            case L's':
                AppendNumber(AOut, AParts.second, width);
                break;
            case L't': {
                const std::wstring& designator = AParts.hour < 12 ? AFormat.AM : AFormat.PM;
                AOut += run == 1 ? designator.substr(0, 1) : designator;
                break;
            }
            default:
                AOut.append(run, c);
                break;
        }
        i += run;
    }
}

}  // namespace

TDateTimeFormat DefaultDateTimeFormat() {
    std::lock_guard lock(g_formatLock);
    return FormatSetting();
}

void SetDefaultDateTimeFormat(TDateTimeFormat AFormat) {
    std::lock_guard lock(g_formatLock);
    FormatSetting() = std::move(AFormat);
}

std::wstring FormatDateTimeParts(const DateTimeParts& AParts, const TDateTimeFormat& AFormat) {
    std::wstring text;
    AppendPicture(text, AFormat.ShortDate, AParts, AFormat);
    text.push_back(L' ');
    AppendPicture(text, AFormat.Time, AParts, AFormat);
    if (AParts.millisecond != 0) {
        text.push_back(L'.');
        AppendNumber(text, AParts.millisecond, 3);
    }
    return text;
}

namespace {

// AFormat null: the process-wide format, fetched only for the message (copying it costs more
// than reading a date).
template <class Ch>
TDateTime ReadISO8601(std::basic_string_view<Ch> AISODate, const TDateTimeFormat* AFormat) {
    const size_t t = AISODate.find(Ch('T'));
    const std::basic_string_view<Ch> datePart = AISODate.substr(0, t);
    const std::basic_string_view<Ch> timePart =
        t == std::basic_string_view<Ch>::npos ? std::basic_string_view<Ch>() : AISODate.substr(t + 1);

    DateTimeParts parts;
    ReadDate(datePart, parts);
    const ZoneOffset zone = ReadTime(timePart, parts);

    // 24:00 is the midnight that ends the day and a leap second the start of the next minute:
    // both are computed from their in-range neighbour and carried over afterwards.
    DateTimeParts clock = parts;
    int64_t carry = 0;
    if (clock.hour == 24) {
        clock.hour = 0;
        carry += kMsPerDay;
    }
    if (clock.second == 60) {
        clock.second = 0;
        carry += 60'000;
    }
    if (!IsValidDate(clock.year, clock.month, clock.day) ||
        !IsValidTime(clock.hour, clock.minute, clock.second, clock.millisecond)) {
        const std::wstring written = AFormat ? FormatDateTimeParts(parts, *AFormat)
                                             : FormatDateTimeParts(parts, DefaultDateTimeFormat());
        throw EConvertError("'" + WideToUtf8(written) + "' is not a valid date and time");
    }
    const int64_t msOfDay =
        ((clock.hour * 60LL + clock.minute) * 60 + clock.second) * 1000 + clock.millisecond;
    int64_t total = DaysSinceEpoch(clock.year, clock.month, clock.day) * kMsPerDay + msOfDay + carry;
    if (zone.present) total -= zone.minutes * 60'000;
    return ToDateTime(total);
}

}  // namespace

TDateTime ISO8601ToDate(std::wstring_view AISODate, const TDateTimeFormat& AFormat) {
    return ReadISO8601(AISODate, &AFormat);
}

TDateTime ISO8601ToDate(std::wstring_view AISODate) { return ReadISO8601(AISODate, nullptr); }

TDateTime ISO8601ToDateUtf8(std::string_view AISODate) {
    // Lengths count characters: only pure ASCII has as many bytes as characters.
    for (const char c : AISODate)
        if (static_cast<unsigned char>(c) >= 0x80)
            return ReadISO8601(std::wstring_view(Utf8ToWide(AISODate)), nullptr);
    return ReadISO8601(AISODate, nullptr);
}
