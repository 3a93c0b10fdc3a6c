// The HTTP rules of the file service's answers: conditional requests, ranges, dates, the log line.
#include <gtest/gtest.h>

#include "tools/fileservice/access_log.h"
#include "tools/fileservice/http_validators.h"
#include "tools/fileservice/listing_cache.h"

namespace {

using fileservice::ByteRange;

constexpr std::time_t kModified = 1700000000;  // Tue, 14 Nov 2023 22:13:20 GMT
constexpr char kModifiedText[] = "Tue, 14 Nov 2023 22:13:20 GMT";
constexpr char kTag[] = "\"64-6553f100.0\"";

TEST(NotModified, IfNoneMatchDecidesAloneThenIfModifiedSince) {
    struct Case {
        const char *ifNoneMatch, *ifModifiedSince;
        bool notModified;
    } cases[] = {
        {kTag, "", true},
        {"\"other\", \"64-6553f100.0\"", "", true},
        {"W/\"64-6553f100.0\"", "", true},  // weak comparison for If-None-Match
        {"*", "", true},
        {"\"other\"", kModifiedText, false},  // a tag that does not match wins over a date that would
        {"", kModifiedText, true},
        {"", "Tue, 14 Nov 2023 22:13:19 GMT", false},
        {"", "Wed, 15 Nov 2023 00:00:00 GMT", true},
        {"", "Tuesday, 14-Nov-23 22:13:20 GMT", true},  // an obsolete form, which recipients must read
        {"", "garbage", false},
        {"", "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fileservice::NotModified(c.ifNoneMatch, c.ifModifiedSince, kTag, kModified), c.notModified)
            << c.ifNoneMatch << " | " << c.ifModifiedSince;
}

TEST(RequestedRange, OneByteRangeWithIfRangeOrTheWholeFile) {
    constexpr auto Whole = ByteRange::Kind::Whole, Part = ByteRange::Kind::Part,
                   Unsatisfiable = ByteRange::Kind::Unsatisfiable;
    struct Case {
        const char *range, *ifRange;
        ByteRange::Kind kind;
        std::uint64_t first, length;
    } cases[] = {
        {"", "", Whole, 0, 0},
        {"bytes=0-99", "", Part, 0, 100},
        {"bytes=10-", "", Part, 10, 90},
        {"bytes=10-5000", "", Part, 10, 90},  // clipped to the end
        {"bytes=-30", "", Part, 70, 30},
        {"bytes=-500", "", Part, 0, 100},
        {"bytes=99-99", "", Part, 99, 1},
        {"bytes=100-", "", Unsatisfiable, 0, 0},
        {"bytes=-0", "", Unsatisfiable, 0, 0},
        {"bytes=5-2", "", Whole, 0, 0},  // invalid: ignored
        {"bytes=0-1,5-6", "", Whole, 0, 0},
        {"items=0-1", "", Whole, 0, 0},
        {"bytes=x-", "", Whole, 0, 0},
        {"bytes=10-", kTag, Part, 10, 90},
        {"bytes=10-", "\"older\"", Whole, 0, 0},  // the file changed: send it whole
        {"bytes=10-", "W/\"64-6553f100.0\"", Whole, 0, 0},
        {"bytes=10-", kModifiedText, Part, 10, 90},
        {"bytes=10-", "Tue, 14 Nov 2023 22:13:21 GMT", Whole, 0, 0},
    };
    for (const auto& c : cases) {
        const ByteRange r = fileservice::RequestedRange(c.range, c.ifRange, 100, kTag, kModified);
        EXPECT_EQ(r.kind, c.kind) << c.range << " | " << c.ifRange;
        if (c.kind == Part) {
            EXPECT_EQ(r.first, c.first) << c.range;
            EXPECT_EQ(r.length, c.length) << c.range;
        }
    }
    EXPECT_EQ(fileservice::RequestedRange("bytes=0-", "", 0, kTag, kModified).kind, Unsatisfiable);
}

TEST(CombinedLogLine, EscapesWhatCouldForgeALineOrAField) {
    const std::string line =
        fileservice::CombinedLogLine({"10.0.0.7", "GET", "/download?file=a\"b\n127.0.0.1 - - x", "HTTP/1.1",
                                      "", "agent \\ \"x\"", 200, 3, 0, std::chrono::microseconds(1500), 250});
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_NE(line.find("\"GET /download?file=a\\\"b\\x0a127.0.0.1 - - x HTTP/1.1\" 200 3 \"-\" \"agent \\\\ "
                        "\\\"x\\\"\" 1500 250\n"),
              std::string::npos)
        << line;
    EXPECT_TRUE(line.starts_with("10.0.0.7 - - [")) << line;
}

TEST(IsTemporaryName, CopyToolsWorkFilesAreNeverListed) {
    for (const char* name : {"~aur123-1.tmp", "Relatorio/~aur9-2.TMP", "Modulo.exe.part", "a.partial",
                             "Relatorio/.RptX.rav.a1B2c3", ".~tmp~/Admission.exe", "sub/.~tmp~/x.dll"})
        EXPECT_TRUE(fileservice::IsTemporaryName(name)) << name;
    for (const char* name : {"Admission.exe", "aurevia-manifest.json", "aurevia-manifest.sig", "notes.tmp",
                             "~notes.txt", ".hidden", "Relatorio/Rpt.rav", "a.b.c.d.e.ffffff"})
        EXPECT_FALSE(fileservice::IsTemporaryName(name)) << name;
}

}  // namespace
