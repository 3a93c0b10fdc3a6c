#pragma once
// The fleet page for IT (Brazilian Portuguese), its CSV table and the text helpers they share.
// Every value that came from a report is escaped where it is written: a report is untrusted input.
#include <string>
#include <string_view>
#include <vector>

#include "tools/fileservice/fleet/fleet_view.h"
#include "tools/fileservice/fleet/store.h"

namespace fleet {

struct PageInput {
    const FleetView* view = nullptr;
    const RolloutView* rollout = nullptr;
    std::vector<DayCount> days;  // the chart's counts, oldest first
    int chartDays = 14;
    // Every day of the chart's period, oldest first ("YYYY-MM-DD"), so that days without reports
    // keep their place; empty: only the days that have counts.
    std::vector<std::string> dayLabels;
    std::string search;  // the ?maquina= text, "" for none
    // The searched workstation's latest reports, when the search names exactly one.
    std::string historyMachine;
    std::vector<StoredReport> history;
};

std::string RenderPainel(const PageInput& input);

// The CSV table (RFC 4180): the header, one row per workstation with the page's columns, and a last
// row "e mais N estações" when the table's limit left some out.
std::string CsvHeader();
void AppendCsvRow(std::string& out, const MachineRow& row);
void AppendCsvMore(std::string& out, int64_t more);

std::string HtmlEscape(std::string_view text);
// One CSV field: quoted when needed, and a leading = + - @ (or tab, CR) defused with a quote mark,
// at the start and after every "," or ";" in it, so that a spreadsheet never takes the cell, or a
// piece of it split off on either separator, for a formula.
std::string CsvField(std::string_view text);
// "dd/mm/aaaa hh:mm" in the service's local time zone; "—" for 0.
std::string LocalTime(int64_t unixTime);

}  // namespace fleet
