#pragma once
// The text of one line of the launcher's log, independent of where it is written:
//   2026-12-10T14:03:05.123-03:00 INFO update module=Admission.exe listed=50 fetched=2 failed=1
// The time is local with its offset from UTC; then the level, the event name and key=value fields.
// A bare value runs to the next blank and is written as it is (a path's backslashes too). A value
// with a blank, a quote, an equals sign or a control character, or an empty one, is written in
// double quotes with \" \\ \r \n \t and \xNN escapes, so that every event is one line.
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

enum class TLogLevel { Info, Warn, Error };

struct TLogTime {
    int year = 1970, month = 1, day = 1;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
    int offsetMinutes = 0;  // local time minus UTC
};

// "2026-12-10T14:03:05.123-03:00"; an offset of zero reads "+00:00".
std::string FormatLogTime(const TLogTime& ATime);

// A field's value as written on the line: bare when it needs no quotes, quoted and escaped otherwise.
std::string LogValue(std::string_view AValue);

class TLogLine {
  public:
    TLogLine(TLogLevel ALevel, std::string_view AEvent);
    TLogLine& Add(std::string_view AKey, std::string_view AValue);
    TLogLine& Add(std::string_view AKey, std::wstring_view AValue);
    TLogLine& Add(std::string_view AKey, const char* AValue) { return Add(AKey, std::string_view(AValue)); }
    TLogLine& Add(std::string_view AKey, const wchar_t* AValue) {
        return Add(AKey, std::wstring_view(AValue));
    }
    template <std::integral T>
    TLogLine& Add(std::string_view AKey, T AValue) {
        return Add(AKey, std::string_view(std::to_string(AValue)));
    }

    // The whole line, ending in CR LF.
    std::string Text(const TLogTime& ATime) const;

  private:
    TLogLevel FLevel;
    std::string FEvent;
    std::string FFields;
};

// "INFO", "WARN", "ERROR".
std::string_view LogLevelName(TLogLevel ALevel);
