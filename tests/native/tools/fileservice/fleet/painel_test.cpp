// What the page, the CSV and the metrics make of the workstations' states: the per-ring figures,
// escaping of everything a report brought, and output a spreadsheet and Prometheus can read.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tools/fileservice/fleet/fleet_query.h"
#include "tools/fileservice/fleet/fleet_view.h"
#include "tools/fileservice/fleet/metrics.h"
#include "tools/fileservice/fleet/painel.h"
#include "tools/fileservice/fleet/store.h"

namespace {

constexpr int64_t kNow = 1765400000;

fleet::Machine MakeMachine(const std::string& name, const std::string& ring, std::optional<uint64_t> release,
                           std::optional<unsigned> number, const std::string& result = "ok",
                           int64_t lastSeen = kNow - 3600) {
    fleet::Machine m;
    m.machine = name;
    m.ring = ring;
    m.release = release;
    m.rolloutNumber = number;
    m.version = "2022.2.1.1";
    m.result = result;
    m.reason = result == "ok" ? "none" : "signature";
    m.lastSeen = m.lastTime = lastSeen;
    return m;
}

fleet::RolloutView Rollout() {
    fleet::RolloutView rollout;
    rollout.present = true;
    rollout.serial = 1765400000;
    rollout.rings = {{"geral", 3, 2, 50, std::nullopt}, {"piloto", 4, std::nullopt, 100, std::nullopt}};
    return rollout;
}

// The workstations as reports of theirs, kept in a store of their own; read back through SQL.
class FleetQuery : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("fleet-query-" + std::to_string(::getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        store_ = std::make_unique<fleet::Store>((dir_ / "reports.db").string());
    }
    void TearDown() override {
        store_.reset();
        std::filesystem::remove_all(dir_);
    }
    void Add(const std::vector<fleet::Machine>& machines) {
        for (const fleet::Machine& m : machines) {
            fleet::Report r;
            r.machine = m.machine;
            r.version = m.version;
            r.event = "startup";
            r.result = m.result;
            r.reason = m.reason;
            r.time = "(time)";
            r.timeUnix = m.lastSeen;
            r.ring = m.ring;
            r.release = m.release;
            r.rolloutNumber = m.rolloutNumber;
            store_->Add({r}, m.lastSeen);
        }
    }
    fleet::FleetView View(const fleet::RolloutView& rollout, const fleet::ViewLimits& limits = {},
                          const std::string& search = "") {
        auto reader = store_->Read({});
        return fleet::QueryView(reader.db(), rollout, kNow, 7, limits, search);
    }

    std::filesystem::path dir_;
    std::unique_ptr<fleet::Store> store_;
};

TEST_F(FleetQuery, RingFiguresFollowTheRolloutNumbers) {
    Add({
        MakeMachine("G-NEW", "geral", 3, 10),              // below 50: takes 3, has it
        MakeMachine("G-PREV", "geral", 2, 70),             // 50 or more: takes 2, has it
        MakeMachine("G-BEHIND", "geral", 2, 10),           // takes 3, still on 2
        MakeMachine("G-OLD", "geral", 1, 90),              // takes 2, still on 1
        MakeMachine("G-FAIL", "geral", 2, 20, "refused"),  // behind and failing
        MakeMachine("G-GONE", "geral", 3, 5, "ok", kNow - 8 * 86400),
        MakeMachine("P-1", "piloto", 4, std::nullopt),
        MakeMachine("P-2", "piloto", std::nullopt, std::nullopt),
        MakeMachine("X-1", "outro", 3, 1),  // a ring the document lacks falls back to "geral"
        MakeMachine("N-1", "", std::nullopt, std::nullopt),
    });
    const fleet::FleetView view = View(Rollout());
    struct Expected {
        const char* ring;
        int64_t machines, onRelease, behind, failing, stale;
    };
    const Expected expected[] = {
        {"", 1, 0, 0, 0, 0},  // "geral"'s entry by fallback; no number and 50%: no expectation
        {"geral", 6, 2, 3, 1, 1},
        {"outro", 1, 1, 0, 0, 0},
        {"piloto", 2, 1, 1, 0, 0},
    };
    ASSERT_EQ(view.rings.size(), std::size(expected));
    for (size_t i = 0; i < view.rings.size(); ++i) {
        const auto& ring = view.rings[i];
        const auto& e = expected[i];
        EXPECT_EQ(ring.ring, e.ring);
        EXPECT_EQ(ring.machines, e.machines) << e.ring;
        EXPECT_EQ(ring.onRelease, e.onRelease) << e.ring;
        EXPECT_EQ(ring.behind, e.behind) << e.ring;
        EXPECT_EQ(ring.failing, e.failing) << e.ring;
        EXPECT_EQ(ring.stale, e.stale) << e.ring;
    }
    EXPECT_EQ(view.total.machines, 10);
    EXPECT_EQ(view.total.behind, 4);
    EXPECT_EQ(view.moreRings, 0);
    ASSERT_EQ(view.behind.rows.size(), 4u);
    EXPECT_EQ(view.behind.rows[0].machine.machine, "G-BEHIND");
    EXPECT_EQ(view.behind.rows[0].expected, 3u);
}

// A flood of rings and workstations: every table stays at its limit, the rest counted, and the
// metrics' labels bounded with the rest under "outros"; the figures still add up.
TEST_F(FleetQuery, OutputStaysBoundedAndTheRestIsCounted) {
    std::vector<fleet::Machine> machines;
    for (int i = 0; i < 300; ++i)
        machines.push_back(MakeMachine("F-" + std::to_string(1000 + i), "anel" + std::to_string(i % 120),
                                       uint64_t(i % 40), 1, i % 3 ? "ok" : "failed"));
    machines.push_back(MakeMachine("G-1", "geral", 3, 10));
    Add(machines);
    fleet::ViewLimits limits;
    limits.rows = 10;
    limits.rings = 5;
    limits.releases = 4;
    const fleet::FleetView view = View(Rollout(), limits, "f-10");
    // The document's two rings first (piloto without workstations), then the biggest.
    EXPECT_EQ(view.rings.size(), 6u);
    EXPECT_EQ(view.moreRings, 121 - 5);
    int64_t shown = 0;
    for (const auto& ring : view.rings) shown += ring.machines;
    EXPECT_EQ(shown + view.moreSummary.machines, 301);
    EXPECT_EQ(view.failing.total, 100);
    EXPECT_EQ(view.failing.rows.size(), 10u);
    EXPECT_EQ(view.found.total, 100);  // F-1000 .. F-1099
    EXPECT_EQ(view.found.rows.size(), 10u);

    fleet::PageInput input;
    input.view = &view;
    const fleet::RolloutView rollout = Rollout();
    input.rollout = &rollout;
    input.search = "f-10";
    const std::string page = fleet::RenderPainel(input);
    EXPECT_NE(page.find("e mais 116 anéis"), std::string::npos);
    EXPECT_NE(page.find("Mostrando 10 de 100 (e mais 90)"), std::string::npos);
    EXPECT_LT(page.size(), 64u * 1024);

    auto reader = store_->Read({});
    std::vector<std::string> rings;
    for (const auto& ring : view.rings) rings.push_back(ring.ring);
    const auto series = fleet::QueryWorkstationSeries(reader.db(), rings, limits.releases);
    int64_t total = 0;
    std::set<std::string> ringLabels, releaseLabels;
    for (const auto& [key, n] : series) {
        total += n;
        ringLabels.insert(key.first);
        releaseLabels.insert(key.second);
    }
    EXPECT_EQ(total, 301);
    EXPECT_LE(ringLabels.size(), rings.size() + 1);
    EXPECT_TRUE(ringLabels.count("outros"));
    EXPECT_EQ(releaseLabels.size(), 5u);
    EXPECT_TRUE(releaseLabels.count("outros"));

    const auto days = fleet::QueryDays(reader.db(), "2000-01-01", 4);
    std::set<std::pair<uint64_t, bool>> chartReleases;
    for (const auto& d : days) chartReleases.insert({d.release, d.others});
    EXPECT_EQ(chartReleases.size(), 5u);
}

// A forged report's text, module and failure text carry markup; none of it may reach the page raw.
TEST(Painel, MarkupFromReportsIsEscapedEverywhere) {
    const std::string attack = "\"><script>alert(1)</script><img src=x onerror=alert(2)>'&";
    fleet::Machine m = MakeMachine("WS-1", "geral", 3, 1, "failed");
    m.text = attack;
    m.lastFailureAt = kNow - 10;
    m.lastFailureReason = "fetch";
    m.lastFailureText = attack;
    const fleet::RolloutView rollout = Rollout();
    fleet::FleetView view;
    view.now = kNow;
    fleet::MachineRow row;
    row.machine = m;
    row.failing = true;
    view.failing = {{row}, 1};
    view.search = "WS-1";
    view.found = {{row}, 1};
    fleet::PageInput input;
    input.view = &view;
    input.rollout = &rollout;
    input.search = "WS-1";
    input.historyMachine = "WS-1";
    fleet::StoredReport stored;
    stored.received = kNow;
    stored.report.machine = "WS-1";
    stored.report.module = attack;
    stored.report.text = attack;
    stored.report.time = attack;
    input.history = {stored};
    input.days = {{"2026-12-10", 3, 1}};
    const std::string page = fleet::RenderPainel(input);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("<img"), std::string::npos);
    EXPECT_EQ(page.find("'&amp;"), std::string::npos);
    EXPECT_NE(page.find("&#39;&amp;"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(page.find("&quot;&gt;"), std::string::npos);
    EXPECT_NE(page.find("id=\"historico\""), std::string::npos);
}

TEST(Painel, CsvQuotesAndDefusesFormulas) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"plain", "plain"},
        {"", ""},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\r\nlines", "\"two\r\nlines\""},
        {"=HYPERLINK(\"http://x\",\"y\")", "\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\""},
        {"+1", "\"'+1\""},
        {"-2+3", "\"'-2+3\""},
        {"@SUM(A1)", "\"'@SUM(A1)\""},
        {"\tx", "\"'\tx\""},
        {"a=b", "a=b"},
    };
    for (const auto& c : cases) EXPECT_EQ(fleet::CsvField(c.in), c.out) << c.in;

    fleet::MachineRow row;
    row.machine = MakeMachine("WS-1", "geral", 3, 1, "failed");
    row.machine.text = "=cmd|' /C calc'!A0";
    std::string csv = fleet::CsvHeader();
    fleet::AppendCsvRow(csv, row);
    row.machine.machine = "WS-2";
    row.machine.text = "";
    fleet::AppendCsvRow(csv, row);
    fleet::AppendCsvMore(csv, 7);
    std::istringstream lines(csv);
    std::string line;
    int rows = 0;
    while (std::getline(lines, line)) {
        ASSERT_TRUE(line.ends_with("\r")) << line;
        ++rows;
    }
    EXPECT_EQ(rows, 4);
    EXPECT_NE(csv.find(",\"'=cmd|' /C calc'!A0\","), std::string::npos);
    EXPECT_NE(csv.find("e mais 7 estações"), std::string::npos);
}

// A spreadsheet that splits on ";" (or ",") without honouring quotes: no piece of any cell may then
// start a formula, also behind spaces or quote marks.
TEST(Painel, CsvDefusesEveryPieceOfASplit) {
    const char* texts[] = {"falha;=1+1;=HIPERLINK(\"http://x\";\"y\")",
                           "a,+1,-2,@SUM(A1)",
                           "x; =1",
                           "x;\"=1",
                           "x;\t=1",
                           "ok;;,=2",
                           "=;=,="};
    for (const char* text : texts) {
        const std::string field = fleet::CsvField(text);
        size_t start = 0;
        while (start <= field.size()) {
            size_t end = field.find_first_of(",;", start);
            if (end == std::string::npos) end = field.size();
            const std::string piece = field.substr(start, end - start);
            const size_t first = piece.find_first_not_of(" \"");
            if (first != std::string::npos)
                EXPECT_EQ(std::string("=+-@\t\r").find(piece[first]), std::string::npos)
                    << text << " gives the piece " << piece;
            start = end + 1;
        }
    }
}

TEST(Metrics, TheTextIsValidExpositionFormat) {
    fleet::Metrics metrics;
    metrics.CountRequest(fleet::RouteOf("/aurevia/download"), 1000);
    metrics.CountRequest(fleet::RouteOf("/painel"), 5000);
    metrics.CountReports("failed", 2);
    metrics.CountRefusedBatch();
    fleet::Metrics::Workstations fleet;
    fleet.byRingRelease = {{{"geral", "3"}, 1}, {{"piloto", "none"}, 1}, {{"outros", "outros"}, 9}};
    fleet.failingByRing = {{"geral", 0}, {"outros", 2}};
    const std::string text = metrics.Render(7, &fleet);
    // name{label="value",...} number — label values escaped, nothing else on a sample line.
    const std::regex sample(
        R"re(^[a-zA-Z_:][a-zA-Z0-9_:]*(\{[a-zA-Z_][a-zA-Z0-9_]*="(\\.|[^"\\\n])*"(,[a-zA-Z_][a-zA-Z0-9_]*="(\\.|[^"\\\n])*")*\})? [0-9]+(\.[0-9]+)?$)re");
    const std::regex comment(R"(^# (HELP|TYPE) [a-zA-Z_:][a-zA-Z0-9_:]* .+$)");
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        EXPECT_TRUE(std::regex_match(line, sample) || std::regex_match(line, comment)) << line;
    for (const char* expected :
         {"aurevia_http_requests_total{route=\"download\"} 1",
          "aurevia_http_response_bytes_total{route=\"painel\"} 5000", "aurevia_listing_walks_total 7",
          "aurevia_reports_total{result=\"failed\"} 2", "aurevia_report_batches_refused_total 1",
          "aurevia_workstations{ring=\"geral\",release=\"3\"} 1",
          "aurevia_workstations{ring=\"piloto\",release=\"none\"} 1"})
        EXPECT_NE(text.find(std::string(expected) + "\n"), std::string::npos) << expected;
    EXPECT_EQ(fleet::LabelValue("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
}

}  // namespace

namespace {

// The served folder's rollout document as the page reads it: absent, broken or good.
TEST(Rollout, TheDocumentIsReadOrItsFaultNamed) {
    const auto dir = std::filesystem::temp_directory_path() / ("fleet-rollout-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    EXPECT_FALSE(fleet::ReadRollout(dir).present);

    const auto write = [&](const std::string& text) { std::ofstream(dir / "aurevia-rollout.json") << text; };
    write(
        R"({"format":"aurevia-rollout/1","serial":1765400000,"expires":"2027-01-09T20:00:00Z",)"
        R"("rings":[{"ring":"geral","release":3,"previous":2,"percent":50},{"ring":"piloto","release":4,"percent":100}]})");
    fleet::RolloutView good = fleet::ReadRollout(dir);
    EXPECT_TRUE(good.present && good.error.empty()) << good.error;
    ASSERT_EQ(good.rings.size(), 2u);
    EXPECT_EQ(good.rings[0].previous, 2u);
    EXPECT_EQ(good.rings[1].percent, 100u);

    for (const char* bad : {"<script>alert(1)</script>",
                            R"({"format":"aurevia-rollout/1","serial":1,"expires":"2027-01-09T20:00:00Z",)"
                            R"("rings":[{"ring":"geral","release":3,"percent":50}]})"}) {
        write(bad);
        const fleet::RolloutView broken = fleet::ReadRollout(dir);
        EXPECT_TRUE(broken.present && !broken.error.empty()) << bad;
        EXPECT_TRUE(broken.rings.empty());
        fleet::FleetView view;
        view.now = kNow;
        fleet::PageInput input;
        input.view = &view;
        input.rollout = &broken;
        const std::string page = fleet::RenderPainel(input);
        EXPECT_NE(page.find("não pôde ser lido"), std::string::npos);
        EXPECT_EQ(page.find("<script"), std::string::npos);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
