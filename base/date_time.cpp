#include "base/date_time.h"

#include <cmath>

namespace {

constexpr int64_t kUnixEpochDay = 25'569;  // 1970-01-01 counted from 1899-12-30

}  // namespace

int64_t DaysSinceEpoch(int year, int month, int day) {
    return DaysFromCivil(year, month, day) + kUnixEpochDay;
}

int64_t ToMilliseconds(TDateTime value) {
    return static_cast<int64_t>(std::llround(value * kMillisecondsPerDay));
}

TDateTime FromMilliseconds(int64_t milliseconds) {
    return static_cast<double>(milliseconds) / kMillisecondsPerDay;
}

TDateTime EncodeDateTime(const DateTimeParts& p) {
    const int64_t ms_of_day = ((p.hour * 60LL + p.minute) * 60 + p.second) * 1000 + p.millisecond;
    const double days = static_cast<double>(DaysSinceEpoch(p.year, p.month, p.day));
    // Before the epoch the fraction counts forwards from the (negative) day, as the classic format does.
    const double fraction = static_cast<double>(ms_of_day) / kMillisecondsPerDay;
    return days >= 0 ? days + fraction : days - fraction;
}

DateTimeParts DecodeDateTime(TDateTime value) {
    const double days_part = std::trunc(value);
    const double fraction = std::fabs(value - days_part);
    int64_t ms_of_day = std::llround(fraction * kMillisecondsPerDay);
    int64_t day_number = static_cast<int64_t>(days_part);
    if (ms_of_day >= 86'400'000) {
        ms_of_day -= 86'400'000;
        day_number += value >= 0 ? 1 : -1;
    }
    DateTimeParts p;
    const CivilDate date = CivilFromDays(day_number - kUnixEpochDay);
    p.year = date.year;
    p.month = date.month;
    p.day = date.day;
    p.millisecond = static_cast<int>(ms_of_day % 1000);
    p.second = static_cast<int>(ms_of_day / 1000 % 60);
    p.minute = static_cast<int>(ms_of_day / 60000 % 60);
    p.hour = static_cast<int>(ms_of_day / 3600000);
    return p;
}
