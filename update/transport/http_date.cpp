#include "update/transport/http_date.h"

#include <array>
#include <cctype>

#include "base/date_time.h"

namespace {

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Reads the text from left to right; any step that does not match leaves it failed.
class TReader {
  public:
    explicit TReader(std::string_view AText) : FText(AText) {}

    bool Ok() const { return FOk; }
    bool AtEnd() const { return FPos == FText.size(); }
    char Peek() const { return FPos < FText.size() ? FText[FPos] : '\0'; }

    void Literal(std::string_view AExpected) {
        if (FText.substr(FPos, AExpected.size()) == AExpected)
            FPos += AExpected.size();
        else
            FOk = false;
    }
    void Blanks() {
        while (Peek() == ' ') ++FPos;
    }
    void Letters() {
        const size_t start = FPos;
        while (std::isalpha(static_cast<unsigned char>(Peek()))) ++FPos;
        if (FPos == start) FOk = false;
    }
    // Between AMin and AMax digits.
    int Number(size_t AMin, size_t AMax) {
        int value = 0;
        size_t count = 0;
        while (count < AMax && std::isdigit(static_cast<unsigned char>(Peek()))) {
            value = value * 10 + (Peek() - '0');
            ++FPos;
            ++count;
        }
        if (count < AMin) FOk = false;
        return value;
    }
    int Month() {
        for (size_t i = 0; i < kMonths.size(); ++i) {
            if (FText.substr(FPos, 3) == kMonths[i]) {
                FPos += 3;
                return static_cast<int>(i) + 1;
            }
        }
        FOk = false;
        return 0;
    }
    void Time(int& AHour, int& AMinute, int& ASecond) {
        AHour = Number(2, 2);
        Literal(":");
        AMinute = Number(2, 2);
        Literal(":");
        ASecond = Number(2, 2);
    }

  private:
    std::string_view FText;
    size_t FPos = 0;
    bool FOk = true;
};

}  // namespace

std::optional<std::chrono::system_clock::time_point> ParseHttpDate(std::string_view AText) {
    TReader r(AText);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    r.Letters();  // the day's name
    if (r.Peek() == ',') {
        r.Literal(",");
        r.Blanks();
        day = r.Number(2, 2);
        if (r.Peek() == '-') {  // Sunday, 06-Nov-94 08:49:37 GMT
            r.Literal("-");
            month = r.Month();
            r.Literal("-");
            year = r.Number(2, 2);
            year += year < 70 ? 2000 : 1900;
        } else {  // Sun, 06 Nov 1994 08:49:37 GMT
            r.Literal(" ");
            month = r.Month();
            r.Literal(" ");
            year = r.Number(4, 4);
        }
        r.Literal(" ");
        r.Time(hour, minute, second);
        r.Literal(" GMT");
    } else {  // Sun Nov  6 08:49:37 1994
        r.Literal(" ");
        month = r.Month();
        r.Blanks();
        day = r.Number(1, 2);
        r.Literal(" ");
        r.Time(hour, minute, second);
        r.Literal(" ");
        year = r.Number(4, 4);
    }
    // The clock's time points count nanoseconds: years far from now overflow them, and no server
    // means them.
    if (!r.Ok() || !r.AtEnd() || year < 1970 || year > 2200 || !IsValidDate(year, month, day) ||
        !IsValidTime(hour, minute, second == 60 ? 59 : second, 0))
        return std::nullopt;
    const int64_t days = DaysSinceEpoch(year, month, day) - DaysSinceEpoch(1970, 1, 1);
    const int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second;
    return std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
}
