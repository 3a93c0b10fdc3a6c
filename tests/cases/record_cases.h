#pragma once
// Cases of the ISO 8601 reader and of record decoding, shared by the native and the Windows test
// programs. An empty error means the text decodes. Messages that name a date and time use the
// default format (dd/MM/yyyy HH:mm:ss).
#include <cstdint>
#include <string_view>

#include "base/date_time.h"

struct IsoCase {
    std::wstring_view text;
    DateTimeParts expected;  // UTC
    std::string_view error = {};
};

inline constexpr IsoCase kIsoCases[] = {
    // The forms the file service writes, and the basic form.
    {L"2022-01-10T14:32:05.000Z", {2022, 1, 10, 14, 32, 5, 0}},
    {L"2022-01-10T14:32:05Z", {2022, 1, 10, 14, 32, 5, 0}},
    {L"2022-01-10T14:32:05", {2022, 1, 10, 14, 32, 5, 0}},
    {L"20220110T143205", {2022, 1, 10, 14, 32, 5, 0}},
    {L"20220110T1432", {2022, 1, 10, 14, 32, 0, 0}},
    {L"2022-01-10T14", {2022, 1, 10, 14, 0, 0, 0}},
    {L"2022-01-10T1\u00e9", {2022, 1, 10, 1, 0, 0, 0}},  // one character left: not a component
    {L"2022-01-10", {2022, 1, 10, 0, 0, 0, 0}},
    {L"2022-01-10T", {2022, 1, 10, 0, 0, 0, 0}},
    {L"20220110", {2022, 1, 10, 0, 0, 0, 0}},
    {L"-2022-01-10", {2022, 1, 10, 0, 0, 0, 0}},
    {L"2022-1-5T9:5:7", {2022, 1, 5, 9, 5, 7, 0}},
    // A blank instead of the T: the time is not read.
    {L"2022-01-10 14:32:05", {2022, 1, 10, 0, 0, 0, 0}},
    // Offsets are taken off to give UTC; Z and other letters are ignored, local time never applies.
    {L"2022-01-10T14:32:05-03:00", {2022, 1, 10, 17, 32, 5, 0}},
    {L"2022-01-10T14:32:05+03:00", {2022, 1, 10, 11, 32, 5, 0}},
    {L"2022-01-10T14:32:05+03", {2022, 1, 10, 11, 32, 5, 0}},
    {L"2022-01-10T14:32:05-03:30", {2022, 1, 10, 18, 2, 5, 0}},
    {L"2022-01-10T14:32:05.250+01:00", {2022, 1, 10, 13, 32, 5, 250}},
    {L"2022-01-10T01:00:00+03:30", {2022, 1, 9, 21, 30, 0, 0}},
    {L"2022-12-31T23:30:00-01:00", {2023, 1, 1, 0, 30, 0, 0}},
    {L"20220110T143205-03", {2022, 1, 10, 17, 32, 5, 0}},
    {L"2022-01-10T14:32:05+00:00", {2022, 1, 10, 14, 32, 5, 0}},
    // Before the epoch the value counts away from zero; offsets must still move the clock forwards.
    {L"1899-12-29T12:00:00", {1899, 12, 29, 12, 0, 0, 0}},
    {L"1899-12-30T01:00:00+02:00", {1899, 12, 29, 23, 0, 0, 0}},
    // Midnight at the end of the day and leap seconds.
    {L"2022-01-10T24:00:00", {2022, 1, 11, 0, 0, 0, 0}},
    {L"2022-12-31T24:00", {2023, 1, 1, 0, 0, 0, 0}},
    {L"2022-01-10T23:59:60", {2022, 1, 11, 0, 0, 0, 0}},
    {L"2016-12-31T23:59:60Z", {2017, 1, 1, 0, 0, 0, 0}},
    {L"2024-02-29", {2024, 2, 29, 0, 0, 0, 0}},
    // Fractions: milliseconds rounded, exact halves to the even neighbour.
    {L"2022-01-10T14:32:05.5", {2022, 1, 10, 14, 32, 5, 500}},
    {L"2022-01-10T14:32:05.12", {2022, 1, 10, 14, 32, 5, 120}},
    {L"2022-01-10T14:32:05.1234", {2022, 1, 10, 14, 32, 5, 123}},
    {L"2022-01-10T14:32:05.1235", {2022, 1, 10, 14, 32, 5, 124}},
    {L"2022-01-10T14:32:05.0005", {2022, 1, 10, 14, 32, 5, 0}},
    {L"2022-01-10T14:32:05.0015", {2022, 1, 10, 14, 32, 5, 2}},
    {L"2022-01-10T14:32:05.00050001", {2022, 1, 10, 14, 32, 5, 1}},
    {L"2022-01-10T14:32:05.9994", {2022, 1, 10, 14, 32, 5, 999}},
    {L"2022-01-10T14:32:05.999499999999999999", {2022, 1, 10, 14, 32, 5, 999}},
    {L"2022-01-10T14:32:05.+03:00", {2022, 1, 10, 11, 32, 5, 0}},
    // Unreadable texts.
    {L"", {}, "Invalid date string: "},
    {L"202", {}, "Invalid date string: 202"},
    {L"-202", {}, "Invalid date string: -202"},
    {L"T14:32:05", {}, "Invalid date string: "},
    {L"x022-01-10", {}, "Invalid date string: x022-01-10"},
    {L"20\u00e9", {}, "Invalid date string: 20\u00e9"},  // characters, not bytes, are counted
    {L"2022-01_10", {}, "Invalid date string: 2022-01_10"},
    {L"2022-01-10Tx", {}, "Invalid time string: x"},
    {L"2022-01-10T14:x5", {}, "Invalid time string: 14:x5"},
    {L"2022-01-10T14+03:00", {}, "Invalid time string: 14+03:00"},
    {L"2022-01-10T14:32:05,5", {}, "Invalid time string: 14:32:05,5"},
    {L"2022-01-10T14:32:05+x", {}, "Invalid time string: 14:32:05+x"},
    {L"2022-01-10T14:32:05Z+03:00", {}, "Invalid time string: 14:32:05Z+03:00"},
    {L"2022-01-10T14:32:05+0300", {}, "Invalid time Offset string: 14:32:05+0300"},
    {L"20220110T143205+0300", {}, "Invalid time Offset string: 143205+0300"},
    // Impossible dates and times, written with the date and time format.
    {L"2022-01-10T23:59:59.9996", {}, "'10/01/2022 23:59:59.1000' is not a valid date and time"},
    {L"2022-13-01", {}, "'01/13/2022 00:00:00' is not a valid date and time"},
    {L"2022-02-29", {}, "'29/02/2022 00:00:00' is not a valid date and time"},
    {L"2022-04-31T10:00", {}, "'31/04/2022 10:00:00' is not a valid date and time"},
    {L"2022-01", {}, "'00/01/2022 00:00:00' is not a valid date and time"},
    {L"2022/01/10", {}, "'00/00/2022 00:00:00' is not a valid date and time"},
    {L"0000-01-01", {}, "'01/01/0000 00:00:00' is not a valid date and time"},
    {L"2022-01-10T14:60", {}, "'10/01/2022 14:60:00' is not a valid date and time"},
    {L"2022-01-10T25:00", {}, "'10/01/2022 25:00:00' is not a valid date and time"},
    {L"2022-01-10T24:00:61", {}, "'10/01/2022 24:00:61' is not a valid date and time"},
};

// One file record from the text of one object.
struct FileRecordCase {
    std::wstring_view json;
    std::wstring_view fileName;
    DateTimeParts age;  // the default parts are the value 0
    std::string_view error = {};
};

inline constexpr FileRecordCase kFileRecordCases[] = {
    {LR"({"FileName":"Relatorio\\RptScheduling.rav","Age":"2022-01-10T14:32:05.000Z"})",
     L"Relatorio\\RptScheduling.rav",
     {2022, 1, 10, 14, 32, 5, 0}},
    {LR"( {"Age":"2022-01-10T14:32:05-03:00","FileName":"a.dll"} )", L"a.dll", {2022, 1, 10, 17, 32, 5, 0}},
    // Member names: any ASCII letter case, the F not written, nothing but ASCII folded.
    {LR"({"fileName":"a"})", L"a", {}},
    {LR"({"FILENAME":"a"})", L"a", {}},
    {LR"({"FFileName":"a"})", L"", {}},
    {LR"({"F\u0130LENAME":"a","f\u0131lename":"b"})", L"", {}},
    {LR"({"File Name":"a","FileName ":"b"})", L"", {}},
    {LR"({"Relatório":"x","FileName":"Relatório\\Rpt\u00c7\ud83d\ude00.rav"})",
     L"Relatório\\RptÇ\U0001F600.rav",
     {}},
    // Unknown members are ignored whatever their value.
    {LR"({"Size":[1,{"a":true}],"Hash":{"x":[]},"N":null,"B":false,"FileName":"a"})", L"a", {}},
    // Values for the name: the value table.
    {LR"({"FileName":12.50})", L"12.50", {}},
    {LR"({"FileName":-4E2})", L"-4E2", {}},
    {LR"({"FileName":"a","FileName":null})", L"", {}},
    {LR"({"FileName":"a","FileName":{"x":1}})", L"a", {}},
    {LR"({"FileName":"a","FileName":"b"})", L"b", {}},
    {LR"({"FileName":true})", L"", {}, "Invalid class typecast"},
    {LR"({"fileNAME":[1]})",
     L"",
     {},
     "Cannot set value for field fileNAME as it is expected to be an array instead of string"},
    // Values for the age.
    {LR"({"FileName":"a"})", L"a", {}},
    {LR"({"Age":null})", L"", {}},
    {LR"({"Age":"2022-01-10","Age":null})", L"", {2022, 1, 10, 0, 0, 0, 0}},
    {LR"({"Age":"2022-01-10","AGE":"2023-02-11"})", L"", {2023, 2, 11, 0, 0, 0, 0}},
    {LR"({"Age":20220110})", L"", {2022, 1, 10, 0, 0, 0, 0}},
    {LR"({"Age":2.022011E7})", L"", {2022, 1, 10, 0, 0, 0, 0}},
    {LR"({"Age":true})", L"", {}, "JSON object expected for field FAge in JSON true"},
    {LR"({"age":false})", L"", {}, "JSON object expected for field Fage in JSON false"},
    {LR"({"AGE":[]})", L"", {}, "JSON object expected for field FAGE in JSON []"},
    {LR"({"age":{"a":[1,2.50,"x\"y",null,false,{}]}})",
     L"",
     {},
     R"(JSON object expected for field Fage in JSON {"a":[1,2.50,"x\"y",null,false,{}]})"},
    {LR"({"FileName":"a","Age":""})", L"", {}, "Invalid date string: "},
    {LR"({"Age":"2022-01-10T14:32:05+0300"})", L"", {}, "Invalid time Offset string: 14:32:05+0300"},
    {LR"({"Age":"2022-02-30"})", L"", {}, "'30/02/2022 00:00:00' is not a valid date and time"},
    {LR"({"Age":2022.5})", L"", {}, "'00/00/2022 00:00:00' is not a valid date and time"},
    // Not an object.
    {L"", L"", {}, "The input value is not a valid Object"},
    {L"<html><body>502 Bad Gateway</body></html>", L"", {}, "The input value is not a valid Object"},
    {L"[]", L"", {}, "The input value is not a valid Object"},
    {L"[{}]", L"", {}, "The input value is not a valid Object"},
    {LR"("x")", L"", {}, "The input value is not a valid Object"},
    {L"42", L"", {}, "The input value is not a valid Object"},
    {L"null", L"", {}, "The input value is not a valid Object"},
    {L"{} x", L"", {}, "The input value is not a valid Object"},
    {LR"({"FileName":"a",})", L"", {}, "The input value is not a valid Object"},
    // A failing member in a text that is not JSON after all: the text's own message wins.
    {LR"({"Age":true} ])", L"", {}, "The input value is not a valid Object"},
};

// One error record from the text of one object.
struct ErrorRecordCase {
    std::wstring_view json;
    int32_t status;
    std::wstring_view error, detail;
    std::string_view failure = {};
};

inline constexpr ErrorRecordCase kErrorRecordCases[] = {
    {LR"({"error":"Not Found","status":404,"detail":"Folder Relatorio is not served"})", 404, L"Not Found",
     L"Folder Relatorio is not served"},
    {LR"({})", 0, L"", L""},
    {LR"({"Error":12.50,"Detail":null})", 0, L"12.50", L""},
    // The status: text or number, decimal 32-bit integers only.
    {LR"({"Status":"404"})", 404, L"", L""},
    {LR"({"Status":"-17"})", -17, L"", L""},
    {LR"({"Status":-2147483648})", INT32_MIN, L"", L""},
    {LR"({"Status":2147483647})", INT32_MAX, L"", L""},
    {LR"({"Status":2147483648})", 0, L"", L""},
    {LR"({"Status":404.0})", 0, L"", L""},
    {LR"({"Status":4E2})", 0, L"", L""},
    {LR"({"Status":"404 "})", 0, L"", L""},
    {LR"({"Status":"Not Found"})", 0, L"", L""},
    {LR"({"Status":""})", 0, L"", L""},
    {LR"({"Status":500,"Status":null})", 0, L"", L""},
    {LR"({"Status":500,"Status":{"code":1}})", 500, L"", L""},
    {LR"({"Status":true})", 0, L"", L"", "Invalid class typecast"},
    {LR"({"Status":[404]})", 0, L"", L"",
     "Cannot set value for field Status as it is expected to be an array instead of Integer"},
    {LR"({"Detail":["a"]})", 0, L"", L"",
     "Cannot set value for field Detail as it is expected to be an array instead of string"},
    {L"", 0, L"", L"", "The input value is not a valid Object"},
    {LR"([{"Status":404}])", 0, L"", L"", "The input value is not a valid Object"},
};
