#include "tools/fileservice/fleet/fleet_query.h"

#include <algorithm>
#include <set>

#include "tools/fileservice/fleet/sqlite_statement.h"

namespace fleet {

namespace {

// Parameters: ?1 now, ?2 the stale period in seconds, ?3 the search text, ?4 a row limit; the
// document's rings from ?10 on, five each. A document holds a handful of rings; one with more than
// this is shown by its first ones.
constexpr size_t kMostDocumentRings = 500;
constexpr int kFirstTarget = 10;
constexpr int kTargetParameters = 5;

constexpr char kMachineColumns[] =
    "machine, version, ring, event, module, result, reason, text, release, rollout_number, first_seen, "
    "last_seen, "
    "last_time, failure_at, failure_reason, failure_text, expected, on_release, behind, failing, stale, "
    "staged, "
    "staged_at";

// Which release a workstation should run, from its ring's entry (else "geral"'s) and its rollout
// number: under the percent it takes the ring's release, else the previous one; without a number,
// only a ring wholly released (or without a previous) tells.
std::string ViewSql(const RolloutView& rollout) {
    const size_t targets = std::min(rollout.rings.size(), kMostDocumentRings);
    std::string sql = "WITH t(ring, release, previous, percent, staged) AS (";
    if (targets == 0) sql += "SELECT NULL, NULL, NULL, NULL, NULL WHERE 0";
    for (size_t i = 0; i < targets; ++i) {
        const int p = kFirstTarget + kTargetParameters * static_cast<int>(i);
        sql += (i ? ", (" : "VALUES (") + std::string("?") + std::to_string(p) + ", ?" +
               std::to_string(p + 1) + ", ?" + std::to_string(p + 2) + ", ?" + std::to_string(p + 3) + ", ?" +
               std::to_string(p + 4) + ")";
    }
    sql += R"(),
v AS (
  SELECT m.*, (o.ring IS NOT NULL OR g.ring IS NOT NULL) AS has_target,
    CASE WHEN o.ring IS NOT NULL THEN o.release ELSE g.release END AS tr,
    CASE WHEN o.ring IS NOT NULL THEN o.previous ELSE g.previous END AS tp,
    CASE WHEN o.ring IS NOT NULL THEN o.percent ELSE g.percent END AS tc,
    CASE WHEN o.ring IS NOT NULL THEN o.staged ELSE g.staged END AS ts
  FROM machines m LEFT JOIN t o ON o.ring = m.ring LEFT JOIN t g ON g.ring = 'geral'),
w AS (
  SELECT *, CASE WHEN NOT has_target THEN NULL
    WHEN rollout_number IS NOT NULL THEN (CASE WHEN rollout_number < tc THEN tr ELSE coalesce(tp, tr) END)
    WHEN tc >= 100 OR tp IS NULL THEN tr ELSE NULL END AS expected
  FROM v),
x AS (
  SELECT *, (has_target AND release IS NOT NULL AND release = tr) AS on_release,
    (expected IS NOT NULL AND coalesce(release, 0) < expected) AS behind,
    (result <> 'ok') AS failing, (?1 - last_seen > ?2) AS stale,
    (ts IS NOT NULL AND staged IS NOT NULL AND staged = ts) AS holds_staged
  FROM w)
)";
    return sql;
}

// The first of duplicate rings stands, as for the workstations.
void BindView(Statement& q, const RolloutView& rollout, int64_t now, int staleDays, const std::string& search,
              size_t limit) {
    q.Bind(1, now);
    q.Bind(2, int64_t(staleDays) * 86400);
    q.Bind(3, search);
    q.Bind(4, static_cast<int64_t>(std::min<size_t>(limit, INT32_MAX)));
    std::set<std::string> seen;
    const size_t targets = std::min(rollout.rings.size(), kMostDocumentRings);
    for (size_t i = 0; i < targets; ++i) {
        const RingTarget& t = rollout.rings[i];
        const int p = kFirstTarget + kTargetParameters * static_cast<int>(i);
        if (!seen.insert(t.ring).second) {
            q.BindNull(p);
        } else {
            q.Bind(p, t.ring);
        }
        q.Bind(p + 1, static_cast<int64_t>(t.release));
        if (t.previous)
            q.Bind(p + 2, static_cast<int64_t>(*t.previous));
        else
            q.BindNull(p + 2);
        q.Bind(p + 3, static_cast<int64_t>(t.percent));
        if (t.staged)
            q.Bind(p + 4, static_cast<int64_t>(*t.staged));
        else
            q.BindNull(p + 4);
    }
}

MachineRow RowOf(const Statement& q) {
    MachineRow row;
    Machine& m = row.machine;
    m.machine = q.Text(0);
    m.version = q.Text(1);
    m.ring = q.Text(2);
    m.event = q.Text(3);
    m.module = q.Text(4);
    m.result = q.Text(5);
    m.reason = q.Text(6);
    m.text = q.Text(7);
    if (!q.Null(8)) m.release = static_cast<uint64_t>(q.Int(8));
    if (!q.Null(9)) m.rolloutNumber = static_cast<unsigned>(q.Int(9));
    m.firstSeen = q.Int(10);
    m.lastSeen = q.Int(11);
    m.lastTime = q.Int(12);
    m.lastFailureAt = q.Int(13);
    m.lastFailureReason = q.Text(14);
    m.lastFailureText = q.Text(15);
    if (!q.Null(16)) row.expected = static_cast<uint64_t>(q.Int(16));
    row.onRelease = q.Int(17) != 0;
    row.behind = q.Int(18) != 0;
    row.failing = q.Int(19) != 0;
    row.stale = q.Int(20) != 0;
    if (!q.Null(21)) m.staged = static_cast<uint64_t>(q.Int(21));
    if (!q.Null(22)) m.stagedAt = q.Int(22);
    return row;
}

constexpr char kMatches[] = "instr(lower(machine), lower(?3)) > 0";

MachineList List(sqlite3* db, const RolloutView& rollout, int64_t now, int staleDays,
                 const std::string& search, const char* where, size_t limit, int64_t total) {
    MachineList list;
    list.total = total;
    Statement q(db, ViewSql(rollout) + "SELECT " + kMachineColumns + " FROM x WHERE " + where +
                        " ORDER BY machine LIMIT ?4");
    BindView(q, rollout, now, staleDays, search, limit);
    while (q.Step()) list.rows.push_back(RowOf(q));
    return list;
}

void Fill(RingSummary& ring, const Statement& q, int first) {
    ring.machines = q.Int(first);
    ring.onRelease = q.Int(first + 1);
    ring.behind = q.Int(first + 2);
    ring.failing = q.Int(first + 3);
    ring.stale = q.Int(first + 4);
    ring.holdingStaged = q.Int(first + 5);
}

constexpr char kSums[] =
    "count(*), sum(on_release), sum(behind), sum(failing), sum(stale), sum(holds_staged)";

}  // namespace

FleetView QueryView(sqlite3* db, const RolloutView& rollout, int64_t now, int staleDays,
                    const ViewLimits& limits, const std::string& search) {
    FleetView view;
    view.now = now;
    view.staleDays = staleDays;
    view.search = search;
    {
        Statement q(db, ViewSql(rollout) + "SELECT " + kSums + " FROM x");
        BindView(q, rollout, now, staleDays, search, 0);
        if (q.Step()) Fill(view.total, q, 0);
    }
    {
        Statement q(db, ViewSql(rollout) + "SELECT ring, " + kSums +
                            ", ring IN (SELECT ring FROM t) AS listed FROM x GROUP BY ring "
                            "ORDER BY listed DESC, count(*) DESC, ring LIMIT ?4");
        BindView(q, rollout, now, staleDays, search, limits.rings);
        std::set<std::string> shown;
        while (q.Step()) {
            RingSummary ring;
            ring.ring = q.Text(0);
            Fill(ring, q, 1);
            shown.insert(ring.ring);
            view.rings.push_back(std::move(ring));
        }
        // The document's rings that no workstation reports are shown too, with their figures at 0.
        for (const RingTarget& target : rollout.rings) {
            if (shown.size() >= limits.rings + kMostDocumentRings) break;
            if (shown.insert(target.ring).second) view.rings.push_back({target.ring, {}, 0, 0, 0, 0, 0, 0});
        }
        RingSummary rest = view.total;
        for (RingSummary& ring : view.rings) {
            if (const RingTarget* target = TargetOf(rollout, ring.ring)) ring.target = *target;
            rest.machines -= ring.machines;
            rest.onRelease -= ring.onRelease;
            rest.behind -= ring.behind;
            rest.failing -= ring.failing;
            rest.stale -= ring.stale;
            rest.holdingStaged -= ring.holdingStaged;
        }
        std::sort(view.rings.begin(), view.rings.end(),
                  [](const RingSummary& a, const RingSummary& b) { return a.ring < b.ring; });
        Statement count(db, "SELECT count(DISTINCT ring) FROM machines");
        const int64_t rings = count.Step() ? count.Int(0) : 0;
        int64_t shownWithMachines = 0;
        for (const RingSummary& ring : view.rings) shownWithMachines += ring.machines > 0;
        view.moreRings = std::max<int64_t>(0, rings - shownWithMachines);
        view.moreSummary = rest;
        view.moreSummary.ring = "";
    }
    view.failing = List(db, rollout, now, staleDays, search, "failing", limits.rows, view.total.failing);
    view.behind = List(db, rollout, now, staleDays, search, "behind", limits.rows, view.total.behind);
    view.stale = List(db, rollout, now, staleDays, search, "stale", limits.rows, view.total.stale);
    if (!search.empty()) {
        Statement count(db, std::string("SELECT count(*) FROM machines WHERE ") + kMatches);
        count.Bind(3, search);
        const int64_t total = count.Step() ? count.Int(0) : 0;
        view.found = List(db, rollout, now, staleDays, search, kMatches, limits.rows, total);
    }
    return view;
}

int64_t ForEachMachine(sqlite3* db, const RolloutView& rollout, int64_t now, int staleDays,
                       const std::string& search, size_t limit,
                       const std::function<void(const MachineRow&)>& row) {
    const char* where = search.empty() ? "1" : kMatches;
    Statement count(db, std::string("SELECT count(*) FROM machines WHERE ") + where);
    if (!search.empty()) count.Bind(3, search);
    const int64_t total = count.Step() ? count.Int(0) : 0;
    Statement q(db, ViewSql(rollout) + "SELECT " + kMachineColumns + " FROM x WHERE " + where +
                        " ORDER BY machine LIMIT ?4");
    BindView(q, rollout, now, staleDays, search, limit);
    while (q.Step()) row(RowOf(q));
    return total;
}

std::vector<DayCount> QueryDays(sqlite3* db, const std::string& fromDay, size_t releases) {
    std::set<int64_t> top;
    {
        Statement q(
            db,
            "SELECT release FROM days WHERE day >= ?1 GROUP BY release ORDER BY count(*) DESC, release "
            "LIMIT ?2");
        q.Bind(1, fromDay);
        q.Bind(2, static_cast<int64_t>(releases));
        while (q.Step()) top.insert(q.Int(0));
    }
    std::map<std::pair<std::string, int64_t>, int64_t> counts;  // release -1: the others
    Statement q(db, "SELECT day, release, count(*) FROM days WHERE day >= ?1 GROUP BY day, release");
    q.Bind(1, fromDay);
    while (q.Step()) counts[{q.Text(0), top.count(q.Int(1)) ? q.Int(1) : -1}] += q.Int(2);
    std::vector<DayCount> days;
    for (const auto& [key, n] : counts)
        days.push_back(
            {key.first, key.second < 0 ? 0 : static_cast<uint64_t>(key.second), n, key.second < 0});
    return days;
}

std::vector<StoredReport> QueryHistory(sqlite3* db, const std::string& machine, int limit) {
    Statement q(
        db,
        "SELECT received, machine, version, event, module, result, reason, text, files_listed, "
        "files_fetched, files_failed, bytes, duration_ms, time, time_unix, ring, rollout_number, "
        "rollout_serial, release, staged, staged_at, store_bytes, wire_bytes, files_patched FROM reports "
        "WHERE machine = ?1 ORDER BY time_unix DESC, id DESC "
        "LIMIT ?2");
    q.Bind(1, machine);
    q.Bind(2, static_cast<int64_t>(limit));
    std::vector<StoredReport> history;
    while (q.Step()) {
        StoredReport s;
        s.received = q.Int(0);
        Report& r = s.report;
        r.machine = q.Text(1);
        r.version = q.Text(2);
        r.event = q.Text(3);
        r.module = q.Text(4);
        r.result = q.Text(5);
        r.reason = q.Text(6);
        r.text = q.Text(7);
        r.filesListed = static_cast<uint64_t>(q.Int(8));
        r.filesFetched = static_cast<uint64_t>(q.Int(9));
        r.filesFailed = static_cast<uint64_t>(q.Int(10));
        r.bytes = static_cast<uint64_t>(q.Int(11));
        r.durationMs = static_cast<uint64_t>(q.Int(12));
        r.time = q.Text(13);
        r.timeUnix = q.Int(14);
        r.ring = q.Text(15);
        if (!q.Null(16)) r.rolloutNumber = static_cast<unsigned>(q.Int(16));
        if (!q.Null(17)) r.rolloutSerial = static_cast<uint64_t>(q.Int(17));
        if (!q.Null(18)) r.release = static_cast<uint64_t>(q.Int(18));
        if (!q.Null(19)) r.staged = static_cast<uint64_t>(q.Int(19));
        if (!q.Null(20)) r.stagedAtUnix = q.Int(20);
        if (!q.Null(21)) r.storeBytes = static_cast<uint64_t>(q.Int(21));
        if (!q.Null(22)) r.wireBytes = static_cast<uint64_t>(q.Int(22));
        if (!q.Null(23)) r.filesPatched = static_cast<uint64_t>(q.Int(23));
        history.push_back(std::move(s));
    }
    return history;
}

std::map<std::pair<std::string, std::string>, int64_t> QueryWorkstationSeries(
    sqlite3* db, const std::vector<std::string>& rings, size_t releases) {
    std::set<int64_t> top;
    bool topNone = false;
    {
        Statement q(db,
                    "SELECT release FROM machines GROUP BY release ORDER BY count(*) DESC, release LIMIT ?1");
        q.Bind(1, static_cast<int64_t>(releases));
        while (q.Step()) {
            if (q.Null(0))
                topNone = true;
            else
                top.insert(q.Int(0));
        }
    }
    const std::set<std::string> shown(rings.begin(), rings.end());
    std::map<std::pair<std::string, std::string>, int64_t> series;
    Statement q(db, "SELECT ring, release, count(*) FROM machines GROUP BY ring, release");
    while (q.Step()) {
        const std::string ring = q.Text(0);
        std::string release = kOthersLabel;
        if (q.Null(1) ? topNone : top.count(q.Int(1)) > 0)
            release = q.Null(1) ? "none" : std::to_string(static_cast<uint64_t>(q.Int(1)));
        series[{shown.count(ring) ? ring : kOthersLabel, release}] += q.Int(2);
    }
    return series;
}

}  // namespace fleet
