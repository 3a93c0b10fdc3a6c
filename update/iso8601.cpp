#include "update/iso8601.h"

#include <cstdint>
#include <mutex>

#include "base/string_convert.h"

namespace {

constexpr int64_t kMsPerDay = 86'400'000;

std::mutex g_formatLock;
TDateTimeFormat& FormatSetting() {
    static TDateTimeFormat format;
    return format;
}

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Reads up to AMax ASCII digits at APos; returns how many it read.
int ReadDigits(std::wstring_view AText, size_t& APos, int AMax, int64_t& AValue) {
    AValue = 0;
    int count = 0;
    while (count < AMax && APos < AText.size() && IsDigit(AText[APos])) {
        AValue = AValue * 10 + (AText[APos] - L'0');
        ++APos;
        ++count;
    }
    return count;
}

[[noreturn]] void FailDate(std::wstring_view ADatePart) {
    throw EDateTimeException("Invalid date string: " + WideToUtf8(ADatePart));
}
[[noreturn]] void FailTime(std::wstring_view ATimePart) {
    throw EDateTimeException("Invalid time string: " + WideToUtf8(ATimePart));
}
[[noreturn]] void FailOffset(std::wstring_view ATimePart) {
    throw EDateTimeException("Invalid time Offset string: " + WideToUtf8(ATimePart));
}

void ReadDate(std::wstring_view ADatePart, DateTimeParts& AParts) {
    std::wstring_view date = ADatePart;
    if (!date.empty() && date.front() == L'-') date.remove_prefix(1);
    if (date.size() < 4) FailDate(ADatePart);
    const bool extended = date.find(L'-') != std::wstring_view::npos;
    size_t pos = 0;
    int64_t year = 0, month = 0, day = 0;
    if (ReadDigits(date, pos, 4, year) == 0) FailDate(ADatePart);
    // A missing month or day stays 0, which the validity check then rejects.
    for (int64_t* component : {&month, &day}) {
        if (pos >= date.size()) break;
        if (extended) {
            if (date[pos] != L'-') FailDate(ADatePart);
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

ZoneOffset ReadTime(std::wstring_view ATime, DateTimeParts& AParts) {
    ZoneOffset zone;
    AParts.hour = AParts.minute = AParts.second = AParts.millisecond = 0;
    if (ATime.empty()) return zone;
    const bool extended = ATime.find(L':') != std::wstring_view::npos;
    size_t pos = 0;
    int64_t value = 0;
    if (ReadDigits(ATime, pos, 2, value) == 0) FailTime(ATime);
    AParts.hour = static_cast<int>(value);

    // Minutes, seconds and the fraction are each read only while two characters remain. A sign in
    // the separator's place leaves the component empty: the offset begins there.
    auto separatorAllows = [&](wchar_t ASeparator) {
        const wchar_t c = ATime[pos];
        if (ASeparator != 0 && c == ASeparator) {
            ++pos;
            return true;
        }
        if (c == L'+' || c == L'-') return false;
        if (ASeparator != 0) FailTime(ATime);
        return true;
    };
    const wchar_t clockSeparator = extended ? L':' : 0;
    if (ATime.size() - pos >= 2) {
        if (!separatorAllows(clockSeparator) || ReadDigits(ATime, pos, 2, value) == 0) FailTime(ATime);
        AParts.minute = static_cast<int>(value);
        if (ATime.size() - pos >= 2) {
            if (separatorAllows(clockSeparator)) {
                ReadDigits(ATime, pos, 2, value);
                AParts.second = static_cast<int>(value);
            }
            if (ATime.size() - pos >= 2 && separatorAllows(L'.')) {
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

    if (pos < ATime.size() && (ATime[pos] == L'+' || ATime[pos] == L'-')) {
        const int64_t sign = ATime[pos] == L'-' ? -1 : 1;
        ++pos;
        if (pos >= ATime.size() || !IsDigit(ATime[pos])) FailTime(ATime);
        int64_t hours = 0, minutes = 0;
        ReadDigits(ATime, pos, 2, hours);
        if (ATime.size() - pos >= 2) {
            if (ATime[pos] != L':') FailOffset(ATime);
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

TDateTime ISO8601ToDate(std::wstring_view AISODate, const TDateTimeFormat& AFormat) {
    const size_t t = AISODate.find(L'T');
    const std::wstring_view datePart = AISODate.substr(0, t);
    const std::wstring_view timePart =
        t == std::wstring_view::npos ? std::wstring_view() : AISODate.substr(t + 1);

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
        throw EConvertError("'" + WideToUtf8(FormatDateTimeParts(parts, AFormat)) +
                            "' is not a valid date and time");
    }
    const int64_t msOfDay =
        ((clock.hour * 60LL + clock.minute) * 60 + clock.second) * 1000 + clock.millisecond;
    int64_t total = DaysSinceEpoch(clock.year, clock.month, clock.day) * kMsPerDay + msOfDay + carry;
    if (zone.present) total -= zone.minutes * 60'000;
    return ToDateTime(total);
}

TDateTime ISO8601ToDate(std::wstring_view AISODate) {
    return ISO8601ToDate(AISODate, DefaultDateTimeFormat());
}
