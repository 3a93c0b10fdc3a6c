#include "tools/fileservice/fleet/painel.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>

#include "common/hex.h"

namespace fleet {

namespace {

// The chart's key for the releases beyond those it shows, together.
constexpr uint64_t kOtherReleases = UINT64_MAX;

const char* ReasonText(std::string_view reason) {
    static const std::map<std::string_view, const char*> kTexts{{"none", "—"},
                                                                {"listing", "listagem"},
                                                                {"fetch", "download"},
                                                                {"signature", "assinatura"},
                                                                {"expired", "documento vencido"},
                                                                {"replayed", "documento reapresentado"},
                                                                {"altered", "arquivo alterado"},
                                                                {"timeout", "tempo esgotado"},
                                                                {"too_large", "grande demais"},
                                                                {"disk", "disco"},
                                                                {"tls", "TLS"},
                                                                {"server", "servidor"},
                                                                {"other", "outro"}};
    const auto it = kTexts.find(reason);
    return it == kTexts.end() ? "?" : it->second;
}

const char* ResultText(std::string_view result) {
    if (result == "ok") return "ok";
    if (result == "failed") return "falhou";
    if (result == "refused") return "recusado";
    return "?";
}

const char* EventText(std::string_view event) {
    if (event == "startup") return "início";
    if (event == "module") return "módulo";
    if (event == "self-update") return "autoatualização";
    return "?";
}

std::string ReleaseText(const std::optional<uint64_t>& release) {
    return release ? std::to_string(*release) : "—";
}

std::string Percent(int64_t part, int64_t whole) {
    if (whole <= 0) return "—";
    char text[16];
    std::snprintf(text, sizeof text, "%.0f%%", 100.0 * double(part) / double(whole));
    return text;
}

std::string UrlComponent(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || c == '-' ||
            c == '_' || c == '.')
            out.push_back(c);
        else {
            out += '%';
            AppendHex(out, u, HexCase::Upper);
        }
    }
    return out;
}

std::string RingLabel(const std::string& ring) { return ring.empty() ? "(sem anel)" : ring; }

constexpr char kStyle[] = R"(
:root{color-scheme:light}
body{font-family:"DejaVu Sans",Arial,sans-serif;margin:1.5rem;color:#111;background:#fff;font-size:18px}
h1{font-size:2rem;margin:0 0 .3rem}h2{font-size:1.4rem;margin:1.6rem 0 .5rem;border-bottom:2px solid #333}
.sub{color:#333;margin:0 0 1rem}
table{border-collapse:collapse;width:100%}th,td{border:1px solid #999;padding:.3rem .5rem;text-align:left;vertical-align:top}
th{background:#e8e8e8}td.n{text-align:right;font-variant-numeric:tabular-nums}
table.aneis{font-size:1.35rem}table.aneis td.n{font-weight:bold}
.falha{color:#a00000}.atraso{color:#8a5a00}.sumida{color:#444}.ok{color:#05620f}
tr.total td{font-weight:bold;background:#f4f4f4}
form{margin:1rem 0}input[type=search]{font-size:1.1rem;padding:.3rem;width:18rem}button{font-size:1.1rem;padding:.3rem .8rem}
.nota{font-size:.9rem;color:#333}svg{width:100%;max-width:1400px;height:auto}
table.estacoes td:first-child{white-space:nowrap}
a{color:#0645ad}
@media print{body{margin:0;font-size:10pt}form,.tela{display:none}h2{break-after:avoid}tr{break-inside:avoid}
a{color:#000;text-decoration:none}th{background:#ddd}}
)";

void MachineTable(std::string& out, const std::vector<MachineRow>& rows, const FleetView& view) {
    out +=
        "<table class=\"estacoes\"><thead><tr><th>Estação</th><th>Anel</th><th>Versão</th><th>Release</th>"
        "<th>Esperada</th><th>Último resultado</th><th>Última falha</th><th>Último contato</th></tr></thead>"
        "<tbody>\n";
    for (const MachineRow& shown : rows) {
        const MachineRow* row = &shown;
        const Machine& m = row->machine;
        out += "<tr data-maquina=\"" + HtmlEscape(m.machine) +
               "\"><td><a href=\"/painel?maquina=" + HtmlEscape(UrlComponent(m.machine)) + "\">" +
               HtmlEscape(m.machine) + "</a></td><td>" + HtmlEscape(RingLabel(m.ring)) + "</td><td>" +
               HtmlEscape(m.version) + "</td><td class=\"n" + (row->behind ? " atraso" : "") + "\">" +
               ReleaseText(m.release) + "</td><td class=\"n\">" + ReleaseText(row->expected) +
               "</td><td class=\"" + (row->failing ? "falha" : "ok") + "\">" + ResultText(m.result) +
               (row->failing ? std::string(" — ") + ReasonText(m.reason) : "") + "</td><td>";
        if (m.lastFailureAt) {
            out += HtmlEscape(LocalTime(m.lastFailureAt)) + " — " + ReasonText(m.lastFailureReason);
            if (!m.lastFailureText.empty()) out += ": " + HtmlEscape(m.lastFailureText);
        } else {
            out += "—";
        }
        out += "</td><td" + std::string(row->stale ? " class=\"sumida\"" : "") + ">" + LocalTime(m.lastSeen) +
               (row->stale ? " (há mais de " + std::to_string(view.staleDays) + " dias)" : "") +
               "</td></tr>\n";
    }
    out += "</tbody></table>\n";
}

// "Mostrando N de M": a list cut at the page's limit says so and where the rest is.
void Shown(std::string& out, const MachineList& list) {
    if (list.total > static_cast<int64_t>(list.rows.size()))
        out += "<p class=\"nota mais\">Mostrando " + std::to_string(list.rows.size()) + " de " +
               std::to_string(list.total) + " (e mais " +
               std::to_string(list.total - static_cast<int64_t>(list.rows.size())) +
               "); a lista completa está em <a href=\"/painel/estacoes.csv\">estacoes.csv</a>.</p>\n";
}

void ListSection(std::string& out, const char* id, const std::string& title, const FleetView& view,
                 const MachineList& list) {
    out += std::string("<section id=\"") + id + "\"><h2>" + title + " <span data-fig=\"" + id + "\">" +
           std::to_string(list.total) + "</span></h2>\n";
    if (list.total == 0) {
        out += "<p>Nenhuma.</p></section>\n";
        return;
    }
    Shown(out, list);
    MachineTable(out, list.rows, view);
    out += "</section>\n";
}

std::string ReleaseLabel(uint64_t release) {
    if (release == kOtherReleases) return "outras releases";
    return release ? "release " + std::to_string(release) : std::string("sem release");
}

// Stacked bars: per day, how many workstations reported each release. Server-rendered SVG: the page
// carries no script, so it runs under a CSP that forbids them, prints as it shows and needs nothing
// fetched from elsewhere.
void Chart(std::string& out, const PageInput& input) {
    std::vector<std::string> days = input.dayLabels;
    std::set<uint64_t> releases;
    std::map<std::pair<std::string, uint64_t>, int64_t> counts;
    for (const DayCount& d : input.days) {
        if (input.dayLabels.empty() && (days.empty() || days.back() != d.day)) days.push_back(d.day);
        const uint64_t release = d.others ? kOtherReleases : d.release;
        releases.insert(release);
        counts[{d.day, release}] += d.machines;
    }
    out += "<section id=\"grafico\"><h2>Estações por release nos últimos " + std::to_string(input.chartDays) +
           " dias</h2>\n";
    if (input.days.empty()) {
        out += "<p>Nenhum relatório no período.</p></section>\n";
        return;
    }
    int64_t top = 1;
    for (const auto& day : days) {
        int64_t sum = 0;
        for (const uint64_t r : releases) sum += counts[{day, r}];
        top = std::max(top, sum);
    }
    // The axis has four steps: a top that is a multiple of four labels every grid line with a whole,
    // distinct number (a top of 1 would label them 0, 0, 0, 0, 1).
    top = (top + 3) / 4 * 4;
    static constexpr std::array kColors{"#1f5fa8", "#d9822b", "#2e8b57", "#b03a48",
                                        "#6a4c93", "#4a90a4", "#8c6d1f", "#555555"};
    const int width = 960, height = 300, left = 60, bottom = 40, top_margin = 10;
    const int plotH = height - bottom - top_margin, plotW = width - left - 10;
    const double slot = double(plotW) / double(days.size());
    const double barW = std::max(2.0, slot * 0.7);
    char buf[256];
    out += "<svg role=\"img\" aria-labelledby=\"grafico-titulo\" viewBox=\"0 0 " + std::to_string(width) +
           " " + std::to_string(height) + "\" width=\"" + std::to_string(width) + "\" height=\"" +
           std::to_string(height) +
           "\" xmlns=\"http://www.w3.org/2000/svg\">"
           "<title id=\"grafico-titulo\">Estações por release, por dia</title>\n";
    for (int i = 0; i <= 4; ++i) {
        const double y = top_margin + plotH - plotH * i / 4.0;
        std::snprintf(buf, sizeof buf,
                      "<line x1=\"%d\" x2=\"%d\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"#ccc\"/><text x=\"%d\" "
                      "y=\"%.1f\" font-size=\"13\" text-anchor=\"end\">%lld</text>\n",
                      left, width - 10, y, y, left - 6, y + 4, static_cast<long long>(top * i / 4));
        out += buf;
    }
    for (size_t d = 0; d < days.size(); ++d) {
        const double x = left + slot * double(d) + (slot - barW) / 2;
        double y = top_margin + plotH;
        size_t colour = 0;
        for (const uint64_t r : releases) {
            const int64_t n = counts[{days[d], r}];
            const size_t c = colour++ % kColors.size();
            if (n == 0) continue;
            const double h = plotH * double(n) / double(top);
            y -= h;
            std::snprintf(
                buf, sizeof buf,
                "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\" data-dia=\"%s\" "
                "data-release=\"%s\" data-n=\"%lld\">",
                x, y, barW, h, kColors[c], days[d].c_str(),
                r == kOtherReleases ? "outras" : std::to_string(r).c_str(), static_cast<long long>(n));
            out += buf;
            out += "<title>" + days[d] + ": " + ReleaseLabel(r) + " — " + std::to_string(n) +
                   " estações</title></rect>\n";
        }
        // dd/mm under each bar (every other one when there are many days)
        if (days.size() <= 16 || d % 2 == 0) {
            std::snprintf(buf, sizeof buf,
                          "<text x=\"%.1f\" y=\"%d\" font-size=\"13\" text-anchor=\"middle\">%s/%s</text>\n",
                          x + barW / 2, height - bottom + 18, days[d].substr(8, 2).c_str(),
                          days[d].substr(5, 2).c_str());
            out += buf;
        }
    }
    out += "</svg>\n<p class=\"legenda\">";
    size_t colour = 0;
    for (const uint64_t r : releases) {
        out += std::string("<span style=\"display:inline-block;width:1em;height:1em;background:") +
               kColors[colour++ % kColors.size()] + ";vertical-align:middle\"></span> " + ReleaseLabel(r) +
               " &nbsp; ";
    }
    out +=
        "</p><p class=\"nota\">Cada estação conta uma vez por dia, com a release do seu último relatório "
        "daquele dia.</p></section>\n";
}

// Reports of format /1 did not say: "—", not 0.
std::string OptionalCount(const std::optional<uint64_t>& value) {
    return value ? std::to_string(*value) : "—";
}

std::string StagedText(const Report& r) {
    if (!r.staged) return "—";
    return std::to_string(*r.staged) + (r.stagedAtUnix ? " desde " + LocalTime(r.stagedAtUnix) : "");
}

std::string StagedCell(const RingSummary& ring) {
    if (!ring.target || !ring.target->staged) return "<td>—</td>";
    return "<td class=\"n\">" + std::to_string(*ring.target->staged) + ": <span data-fig=\"preparada\">" +
           std::to_string(ring.holdingStaged) + "</span> de " + std::to_string(ring.machines) + "</td>";
}

void History(std::string& out, const PageInput& input) {
    out +=
        "<section id=\"historico\"><h2>Últimos relatórios de " + HtmlEscape(input.historyMachine) + "</h2>\n";
    if (input.history.empty()) {
        out += "<p>Nenhum relatório guardado.</p></section>\n";
        return;
    }
    out +=
        "<table><thead><tr><th>Quando (estação)</th><th>Recebido</th><th>Evento</th><th>Módulo</th>"
        "<th>Resultado</th><th>Motivo</th><th>Texto</th><th>Arquivos (listados/baixados/falhas)</th>"
        "<th>Bytes</th><th>Duração</th><th>Versão</th><th>Anel</th><th>Release</th><th>Preparada</th>"
        "<th>Do cache / pela rede (bytes)</th><th>Por patch</th></tr></thead><tbody>\n";
    for (const StoredReport& s : input.history) {
        const Report& r = s.report;
        char duration[32];
        std::snprintf(duration, sizeof duration, "%.1f s", double(r.durationMs) / 1000.0);
        out += "<tr><td>" + HtmlEscape(r.time) + "</td><td>" + LocalTime(s.received) + "</td><td>" +
               EventText(r.event) + "</td><td>" + HtmlEscape(r.module) + "</td><td class=\"" +
               (r.result == "ok" ? "ok" : "falha") + "\">" + ResultText(r.result) + "</td><td>" +
               ReasonText(r.reason) + "</td><td>" + HtmlEscape(r.text) + "</td><td class=\"n\">" +
               std::to_string(r.filesListed) + " / " + std::to_string(r.filesFetched) + " / " +
               std::to_string(r.filesFailed) + "</td><td class=\"n\">" + std::to_string(r.bytes) +
               "</td><td class=\"n\">" + duration + "</td><td>" + HtmlEscape(r.version) + "</td><td>" +
               HtmlEscape(RingLabel(r.ring)) + "</td><td class=\"n\">" + ReleaseText(r.release) +
               "</td><td class=\"n\">" + StagedText(r) + "</td><td class=\"n\">" +
               OptionalCount(r.storeBytes) + " / " + OptionalCount(r.wireBytes) + "</td><td class=\"n\">" +
               OptionalCount(r.filesPatched) + "</td></tr>\n";
    }
    out += "</tbody></table></section>\n";
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string CsvField(std::string_view text) {
    // A spreadsheet that splits on "," or ";" without regard to quotes makes a cell of every piece
    // between them: each piece that would start a formula (after any spaces or quote marks, which
    // spreadsheets pass over) gets a quote mark in front.
    std::string cell;
    cell.reserve(text.size() + 4);
    bool pieceStart = true;
    for (const char c : text) {
        if (pieceStart && (c == ' ' || c == '"')) {
            cell.push_back(c);
            continue;
        }
        if (pieceStart && (c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r'))
            cell.push_back('\'');
        cell.push_back(c);
        pieceStart = c == ',' || c == ';';
    }
    if (cell.find_first_of(",\"\r\n;") == std::string::npos && cell == text) return cell;
    std::string quoted = "\"";
    for (const char c : cell) {
        if (c == '"') quoted.push_back('"');
        quoted.push_back(c);
    }
    return quoted + "\"";
}

std::string LocalTime(int64_t unixTime) {
    if (unixTime == 0) return "—";
    const time_t time = static_cast<time_t>(unixTime);
    std::tm parts{};
    localtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%d/%m/%Y %H:%M", &parts);
    return text;
}

std::string RenderPainel(const PageInput& input) {
    const FleetView& view = *input.view;
    const RolloutView& rollout = *input.rollout;
    std::string out;
    out.reserve(64 * 1024);
    out +=
        "<!DOCTYPE html>\n<html lang=\"pt-BR\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">";
    // A wall screen shows the latest figures without anyone at it; a search result stays put.
    if (input.search.empty()) out += "<meta http-equiv=\"refresh\" content=\"60\">";
    out += "<link rel=\"icon\" href=\"data:,\"><title>Aurevia — painel da frota</title><style>";
    out += kStyle;
    out += "</style></head><body>\n<h1>Aurevia — painel da frota</h1>\n<p class=\"sub\">Atualizado em " +
           LocalTime(view.now) + ". ";
    if (!rollout.present) {
        out += "A pasta servida não tem documento de distribuição (aurevia-rollout.json).";
    } else if (!rollout.error.empty()) {
        out += "O documento de distribuição não pôde ser lido: " + HtmlEscape(rollout.error) + ".";
    } else {
        out += "Documento de distribuição nº " + std::to_string(rollout.serial) + ", válido até " +
               LocalTime(rollout.expiresUnix) +
               " (a assinatura não é conferida para exibição; as estações a conferem).";
    }
    out +=
        "</p>\n<form method=\"get\" action=\"/painel\" role=\"search\"><label for=\"maquina\">Procurar "
        "estação:</label> <input type=\"search\" id=\"maquina\" name=\"maquina\" maxlength=\"63\" value=\"" +
        HtmlEscape(input.search) +
        "\"> <button type=\"submit\">Procurar</button> <a class=\"tela\" "
        "href=\"/painel/estacoes.csv\">Baixar tabela (CSV)</a></form>\n";

    out +=
        "<section id=\"aneis\"><h2>Anéis</h2><table class=\"aneis\"><thead><tr><th>Anel</th>"
        "<th>Release em distribuição</th><th>Percentual liberado</th><th>Estações</th><th>Na release</th>"
        "<th>Atrasadas</th><th>Com falha</th><th>Sem contato há mais de " +
        std::to_string(view.staleDays) +
        " dias</th><th>Preparada (estações que a têm completa)</th></tr></thead><tbody>\n";
    for (const RingSummary& ring : view.rings) {
        out += "<tr data-anel=\"" + HtmlEscape(ring.ring) + "\"><td>" + HtmlEscape(RingLabel(ring.ring)) +
               "</td>";
        if (ring.target) {
            out +=
                "<td class=\"n\">" + std::to_string(ring.target->release) +
                (ring.target->previous ? " (anterior " + std::to_string(*ring.target->previous) + ")" : "") +
                (ring.target->ring != ring.ring ? " — de “" + HtmlEscape(ring.target->ring) + "”" : "") +
                "</td><td class=\"n\">" + std::to_string(ring.target->percent) + "%</td>";
        } else {
            out += "<td>—</td><td>—</td>";
        }
        out += "<td class=\"n\" data-fig=\"estacoes\">" + std::to_string(ring.machines) +
               "</td><td class=\"n ok\"><span data-fig=\"na-release\">" + std::to_string(ring.onRelease) +
               "</span> (" + Percent(ring.onRelease, ring.machines) +
               ")</td><td class=\"n atraso\" "
               "data-fig=\"atrasadas\">" +
               std::to_string(ring.behind) +
               "</td><td class=\"n falha\" "
               "data-fig=\"com-falha\">" +
               std::to_string(ring.failing) +
               "</td><td class=\"n sumida\" "
               "data-fig=\"sem-contato\">" +
               std::to_string(ring.stale) + "</td>" + StagedCell(ring) + "</tr>\n";
    }
    if (view.moreRings > 0) {
        const RingSummary& more = view.moreSummary;
        out += "<tr class=\"mais\" data-anel-mais=\"" + std::to_string(view.moreRings) + "\"><td>e mais " +
               std::to_string(view.moreRings) + " anéis</td><td></td><td></td><td class=\"n\">" +
               std::to_string(more.machines) + "</td><td class=\"n ok\">" + std::to_string(more.onRelease) +
               " (" + Percent(more.onRelease, more.machines) + ")</td><td class=\"n atraso\">" +
               std::to_string(more.behind) + "</td><td class=\"n falha\">" + std::to_string(more.failing) +
               "</td><td class=\"n sumida\">" + std::to_string(more.stale) + "</td><td></td></tr>\n";
    }
    const RingSummary& total = view.total;
    out +=
        "<tr class=\"total\" data-anel=\"*\"><td>Total</td><td></td><td></td><td class=\"n\" "
        "data-fig=\"estacoes\">" +
        std::to_string(total.machines) +
        "</td><td class=\"n\"><span "
        "data-fig=\"na-release\">" +
        std::to_string(total.onRelease) + "</span> (" + Percent(total.onRelease, total.machines) +
        ")</td><td class=\"n\" data-fig=\"atrasadas\">" + std::to_string(total.behind) +
        "</td><td class=\"n\" data-fig=\"com-falha\">" + std::to_string(total.failing) +
        "</td><td class=\"n\" data-fig=\"sem-contato\">" + std::to_string(total.stale) +
        "</td><td></td></tr>\n</tbody></table>\n<p class=\"nota\">“Na release”: roda a "
        "release que o anel distribui. “Atrasadas”: roda uma release anterior à que o documento lhe dá "
        "(pelo seu número de distribuição). “Com falha”: o último relatório falhou ou foi recusado. "
        "“Preparada”: a release que o anel prepara para a próxima troca, e quantas estações disseram "
        "ter todos os seus arquivos no cache (launchers que enviam relatórios aurevia-report/2).</p>"
        "</section>\n";

    if (!input.search.empty()) {
        out += "<section id=\"busca\"><h2>Estações com “" + HtmlEscape(input.search) +
               "” no nome <span "
               "data-fig=\"encontradas\">" +
               std::to_string(view.found.total) + "</span></h2>\n";
        if (view.found.total == 0) {
            out += "<p>Nenhuma estação encontrada.</p>";
        } else {
            Shown(out, view.found);
            MachineTable(out, view.found.rows, view);
        }
        out += "</section>\n";
        if (!input.historyMachine.empty()) History(out, input);
    }
    Chart(out, input);
    const std::string staleTitle = "Sem contato há mais de " + std::to_string(view.staleDays) + " dias";
    ListSection(out, "lista-falha", "Com falha", view, view.failing);
    ListSection(out, "lista-atrasadas", "Atrasadas", view, view.behind);
    ListSection(out, "lista-sem-contato", staleTitle, view, view.stale);
    out += "</body></html>\n";
    return out;
}

std::string CsvHeader() {
    return "estacao,anel,versao,release,release_esperada,na_release,atrasada,com_falha,sem_contato,"
           "ultimo_resultado,motivo,texto,ultimo_relatorio,ultimo_contato,ultima_falha,motivo_falha,texto_"
           "falha,release_preparada,preparada_desde\r\n";
}

void AppendCsvRow(std::string& out, const MachineRow& row) {
    const auto yesNo = [](bool b) { return b ? "sim" : "nao"; };
    const Machine& m = row.machine;
    const std::string cells[]{m.machine,
                              m.ring,
                              m.version,
                              m.release ? std::to_string(*m.release) : "",
                              row.expected ? std::to_string(*row.expected) : "",
                              yesNo(row.onRelease),
                              yesNo(row.behind),
                              yesNo(row.failing),
                              yesNo(row.stale),
                              m.result,
                              m.reason,
                              m.text,
                              LocalTime(m.lastTime),
                              LocalTime(m.lastSeen),
                              m.lastFailureAt ? LocalTime(m.lastFailureAt) : "",
                              m.lastFailureReason,
                              m.lastFailureText,
                              m.staged ? std::to_string(*m.staged) : "",
                              m.staged && m.stagedAt ? LocalTime(m.stagedAt) : ""};
    bool first = true;
    for (const std::string& cell : cells) {
        if (!first) out.push_back(',');
        first = false;
        out += CsvField(cell);
    }
    out += "\r\n";
}

void AppendCsvMore(std::string& out, int64_t more) {
    if (more > 0) out += "e mais " + std::to_string(more) + " estações (limite da tabela)\r\n";
}

}  // namespace fleet
