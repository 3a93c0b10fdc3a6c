// aurevia-fileservice: serves one folder to the launcher's file service client.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <memory>
#include <thread>

#include "tools/fileservice/access_log.h"
#include "tools/fileservice/http_server.h"
#include "tools/fileservice/file_service.h"
#include "tools/fileservice/file_snapshots.h"
#include "tools/fileservice/fleet/fleet_service.h"
#include "tools/fileservice/listing_cache.h"
#include "tools/fileservice/routes.h"

namespace {

constexpr char kUsage[] =
    "Usage: aurevia-fileservice --folder DIR [options]\n"
    "\n"
    "Serves the files under DIR to the Aurevia launcher (its Aurevia.ini \"url\" setting):\n"
    "  GET /folderlist?folder=\\&mask=*.*&recursive=   list files as JSON (names relative to DIR)\n"
    "  GET /download?file=Relatorio%5CRpt.rav         the bytes of one file (Range, If-None-Match)\n"
    "  GET /healthz                                   200 and counters while DIR can be read, else 503\n"
    "Names that would leave DIR are refused.\n"
    "\n"
    "  --folder DIR          the folder to serve (required)\n"
    "  --address ADDR        address to listen on (default 127.0.0.1; 0.0.0.0 for every interface)\n"
    "  --port N              TCP port (default 8080; 0 picks a free one)\n"
    "  --port-file FILE      write the port listened on to FILE once the server is ready\n"
    "  --tls-cert FILE       serve HTTPS with this PEM certificate (chain); needs --tls-key\n"
    "  --tls-key FILE        the certificate's PEM private key (TLS 1.2 and newer are accepted)\n"
    "  --threads N           threads answering requests, each serving many connections at once\n"
    "                        (default: one per processor)\n"
    "  --max-connections N   connections served at once (default 10000, lowered to what the\n"
    "                        descriptor limit allows); a request on one of the few beyond that is\n"
    "                        answered 503 with Retry-After, and further connections are closed at once\n"
    "  --per-address N       connections from one client address at once (default 0: no cap; a\n"
    "                        site's NAT may put many workstations behind one address)\n"
    "  --retry-after S       the Retry-After of that 503, in seconds (default 2)\n"
    "  --read-timeout S      a connection's first request head must arrive whole within S seconds\n"
    "                        (default 10)\n"
    "  --write-timeout S     a connection that moves no data either way for S seconds is dropped\n"
    "                        (default 30)\n"
    "  --keep-alive S        a kept-alive connection's next request head must arrive whole within S\n"
    "                        seconds of its last answer (default 30)\n"
    "  --min-rate B          a client reading an answer at less than B bytes per second (over 10 s)\n"
    "                        is dropped (default 1024; 0: never)\n"
    "  --snapshot-mb N       memory for sealed copies of served files, up to 64 MiB each, from which\n"
    "                        downloads go out by sendfile (default 512; 0: none, each file is read\n"
    "                        and checked block by block as it is sent); least recently used first out\n"
    "  --settle-ms MS        a changed file is listed once its writer has closed it; where no such\n"
    "                        event was seen (at start, on a rescan), once its modification time is\n"
    "                        MS old or it stayed unchanged that long (default 2000)\n"
    "  --rescan S            walk the folder every S seconds even without change events, for file\n"
    "                        systems that report none, e.g. network mounts (default 60; 0: never)\n"
    "  --reports FILE        keep the workstations' reports (POST /report) in this SQLite database and\n"
    "                        serve the fleet page GET /painel, GET /painel/estacoes.csv and GET /metrics;\n"
    "                        without it those paths answer 404\n"
    "  --report-retention-days N  delete reports (and workstations not heard from) older than N days\n"
    "                        (default 90; checked hourly)\n"
    "  --stale-days N        the page lists workstations not heard from for more than N days (default 7)\n"
    "                        (with --reports, --threads defaults to at least 8)\n"
    "  --report-rate N       reports per minute one client address may send (default 120, a burst of a\n"
    "                        minute's worth, at least one batch); beyond, POST /report answers 429 with\n"
    "                        Retry-After and the workstation keeps its reports for later; 0: no limit\n"
    "  --max-machines N      workstations the fleet view keeps (default 50000); past that, reports of a\n"
    "                        new workstation are answered 503 (known ones go on); none is evicted\n"
    "  --max-db-mb N         the report database's size cap in MiB (default 1024); past it, reports are\n"
    "                        answered 503 until retention frees room\n"
    "  --painel-allow LIST   addresses and networks (comma-separated, CIDR) that may see /painel,\n"
    "                        /painel/estacoes.csv and /metrics (default 127.0.0.0/8,::1); others get 403\n"
    "  --trusted-proxy LIST  fronts whose X-Forwarded-For names the client, for the rate and\n"
    "                        --painel-allow (default 127.0.0.0/8,::1)\n"
    "  --painel-rows N       workstations per list on the page (default 100; \"e mais N\" for the rest)\n"
    "  --painel-rings N      rings in the page's table and as metrics labels (default 50; the rest as\n"
    "                        one row, and as ring=\"outros\")\n"
    "  --painel-releases N   releases in the chart and as metrics labels (default 12; the rest together)\n"
    "  --csv-rows N          rows of estacoes.csv (default 50000)\n"
    "  --painel-deadline S   a page, CSV or metrics reading stops after S seconds (default 10) and\n"
    "                        answers 503; it also stops when its client goes away\n"
    "  --help                this text\n"
    "\n"
    "Listings come from memory: the folder is walked again when it changes (inotify), not per\n"
    "request. A listing shows only settled files (see --settle-ms), never one that a writer still\n"
    "holds modified, never a temporary (~*.tmp, *.part, *.partial, rsync's .NAME.XXXXXX and\n"
    ".~tmp~/); a changed file keeps its previous entry until it settles. Names that are not UTF-8,\n"
    "files the service cannot open and links that lead nowhere or out of DIR are left out too, each\n"
    "named in a warning (the log and /healthz). Downloads and listings\n"
    "carry ETag and Last-Modified and answer 304 to If-None-Match/If-Modified-Since; downloads\n"
    "answer a single Range with 206; listings are gzip-compressed only when the client sends\n"
    "Accept-Encoding: gzip. Slow or idle connections hold no thread. A download never mixes versions:\n"
    "one sent from a snapshot goes on whole in its version; one sent from the file itself ends its\n"
    "connection (the client retries) when the file is rewritten in place while it is sent.\n"
    "A request body is read and thrown away (no request takes one); a head with conflicting\n"
    "lengths or a control byte in a header is answered 400, and the connection is closed.\n"
    "\n"
    "One line per request goes to standard output in Combined Log Format, followed by the duration\n"
    "in microseconds and the bytes sent including headers. SIGINT or SIGTERM stops the server.\n";

struct Options {
    std::string folder, address = "127.0.0.1", portFile, tlsCert, tlsKey;
    int port = 8080;
    fileservice::ServerLimits limits;
    fileservice::ListingCacheOptions listing;
    fileservice::SnapshotOptions snapshots;
    std::string reports;
    int retentionDays = 90, staleDays = 7;
    fleet::FleetOptions fleet;
};

bool ParseNumber(const char* text, long low, long high, long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtol(text, &end, 10);
    return *text && !*end && errno == 0 && out >= low && out <= high;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (i + 1 >= argc || !arg.starts_with("--")) {
            std::fprintf(stderr, "aurevia-fileservice: unknown or incomplete argument: %s\n\n%s", arg.c_str(),
                         kUsage);
            return false;
        }
        const char* v = argv[++i];
        long n = 0;
        const auto number = [&](long low, long high) {
            if (ParseNumber(v, low, high, n)) return true;
            std::fprintf(stderr, "aurevia-fileservice: invalid %s: %s\n", arg.c_str() + 2, v);
            return false;
        };
        using std::chrono::milliseconds;
        using std::chrono::seconds;
        if (arg == "--folder") {
            options.folder = v;
        } else if (arg == "--address") {
            options.address = v;
        } else if (arg == "--port-file") {
            options.portFile = v;
        } else if (arg == "--tls-cert") {
            options.tlsCert = v;
        } else if (arg == "--tls-key") {
            options.tlsKey = v;
        } else if (arg == "--port") {
            if (!number(0, 65535)) return false;
            options.port = static_cast<int>(n);
        } else if (arg == "--threads") {
            if (!number(1, 1024)) return false;
            options.limits.threads = static_cast<unsigned>(n);
        } else if (arg == "--queue") {
            // Kept so that an old setting still starts the service.
            std::fprintf(stderr,
                         "aurevia-fileservice: --queue is no longer used and is ignored: requests no "
                         "longer wait for a thread; see --max-connections\n");
        } else if (arg == "--max-connections") {
            if (!number(1, 1000000)) return false;
            options.limits.maxConnections = static_cast<unsigned>(n);
        } else if (arg == "--per-address") {
            if (!number(0, 1000000)) return false;
            options.limits.perAddress = static_cast<unsigned>(n);
        } else if (arg == "--min-rate") {
            if (!number(0, 1L << 30)) return false;
            options.limits.minRate = static_cast<size_t>(n);
        } else if (arg == "--retry-after") {
            if (!number(0, 3600)) return false;
            options.limits.retryAfterSeconds = static_cast<int>(n);
        } else if (arg == "--read-timeout") {
            if (!number(1, 3600)) return false;
            options.limits.readTimeout = seconds(n);
        } else if (arg == "--write-timeout") {
            if (!number(1, 3600)) return false;
            options.limits.writeTimeout = seconds(n);
        } else if (arg == "--keep-alive") {
            if (!number(1, 3600)) return false;
            options.limits.keepAlive = seconds(n);
        } else if (arg == "--snapshot-mb") {
            if (!number(0, 1L << 20)) return false;
            options.snapshots.maxBytes = static_cast<uint64_t>(n) << 20;
        } else if (arg == "--settle-ms") {
            if (!number(0, 3600000)) return false;
            options.listing.settle = milliseconds(n);
        } else if (arg == "--reports") {
            options.reports = v;
        } else if (arg == "--report-retention-days") {
            if (!number(1, 36500)) return false;
            options.retentionDays = static_cast<int>(n);
        } else if (arg == "--stale-days") {
            if (!number(1, 3650)) return false;
            options.staleDays = static_cast<int>(n);
        } else if (arg == "--report-rate") {
            if (!number(0, 1000000)) return false;
            options.fleet.reportRate = static_cast<unsigned>(n);
        } else if (arg == "--max-machines") {
            if (!number(1, 100000000)) return false;
            options.fleet.limits.maxMachines = n;
        } else if (arg == "--max-db-mb") {
            if (!number(1, 1L << 30)) return false;
            options.fleet.limits.maxBytes = int64_t(n) << 20;
        } else if (arg == "--painel-allow" || arg == "--trusted-proxy") {
            try {
                (arg == "--painel-allow" ? options.fleet.painelAllow : options.fleet.trustedProxies) =
                    fleet::AddressList::Parse(v);
            } catch (const std::invalid_argument& error) {
                std::fprintf(stderr, "aurevia-fileservice: invalid %s: %s\n", arg.c_str() + 2, error.what());
                return false;
            }
        } else if (arg == "--painel-rows") {
            if (!number(1, 10000)) return false;
            options.fleet.view.rows = static_cast<size_t>(n);
        } else if (arg == "--painel-rings") {
            if (!number(1, 10000)) return false;
            options.fleet.view.rings = static_cast<size_t>(n);
        } else if (arg == "--painel-releases") {
            if (!number(1, 1000)) return false;
            options.fleet.view.releases = static_cast<size_t>(n);
        } else if (arg == "--csv-rows") {
            if (!number(1, 100000000)) return false;
            options.fleet.view.csvRows = static_cast<size_t>(n);
        } else if (arg == "--painel-deadline") {
            if (!number(1, 3600)) return false;
            options.fleet.renderDeadline = seconds(n);
        } else if (arg == "--rescan") {
            if (!number(0, 86400)) return false;
            options.listing.rescan = seconds(n);
        } else {
            std::fprintf(stderr, "aurevia-fileservice: unknown argument: %s\n\n%s", arg.c_str(), kUsage);
            return false;
        }
    }
    if (options.folder.empty()) {
        std::fprintf(stderr, "aurevia-fileservice: --folder is required\n\n%s", kUsage);
        return false;
    }
    if (options.tlsCert.empty() != options.tlsKey.empty()) {
        std::fprintf(stderr, "aurevia-fileservice: --tls-cert and --tls-key go together\n");
        return false;
    }
    return true;
}

void Log(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) return 2;
    std::error_code ec;
    if (!std::filesystem::is_directory(options.folder, ec)) {
        std::fprintf(stderr, "aurevia-fileservice: folder not found: %s\n", options.folder.c_str());
        return 1;
    }
    // Signals are taken by this thread, which then stops the server; every thread started from
    // here on inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const fileservice::FileService files(options.folder);
    fileservice::ListingCache listings(files, options.listing);
    std::unique_ptr<fleet::FleetService> fleetService;
    if (!options.reports.empty()) {
        // A report waits for the database on the thread that answers it, and so do that thread's
        // other connections: more threads than processors keep downloads moving beside a flood of
        // reports (bench/reports).
        if (options.limits.threads == 0)
            options.limits.threads = std::max(8u, std::thread::hardware_concurrency());
        // A report database that cannot be had never stops the downloads: the service starts, says
        // why in its log and /healthz, and answers /report 503 until the store is back.
        fleet::FleetOptions fleetOptions = options.fleet;
        fleetOptions.database = options.reports;
        fleetOptions.retentionDays = options.retentionDays;
        fleetOptions.staleDays = options.staleDays;
        fleetOptions.folder = files.Root();
        fleetOptions.log = [](const std::string& line) {
            std::fprintf(stderr, "aurevia-fileservice: %s\n", line.c_str());
        };
        fleetService = std::make_unique<fleet::FleetService>(
            std::move(fleetOptions), [&listings] { return static_cast<uint64_t>(listings.Walks()); });
    }
    fleet::Metrics* metrics = fleetService ? &fleetService->Counters() : nullptr;
    if (options.snapshots.maxBytes) {
        // Each snapshot holds a descriptor: at most an eighth of what the process may open, the
        // rest left to the connections (the server raises the soft limit to the hard one, too).
        rlimit files{};
        if (getrlimit(RLIMIT_NOFILE, &files) == 0)
            options.snapshots.maxFiles =
                std::min<size_t>(options.snapshots.maxFiles, static_cast<size_t>(files.rlim_max / 8));
        options.limits.otherDescriptors = static_cast<unsigned>(options.snapshots.maxFiles);
    }
    std::unique_ptr<fileservice::Routes> routes;
    fileservice::HttpServer server(
        options.limits, [&routes](const fileservice::Request& request) { return routes->Answer(request); },
        &fileservice::Routes::BodyLimit,
        [metrics](const fileservice::LoggedRequest& request) {
            if (metrics)
                metrics->CountRequest(fleet::RouteOf(request.target.substr(0, request.target.find('?'))),
                                      request.bytesSent);
            Log(fileservice::CombinedLogLine(request));
        });
    routes = std::make_unique<fileservice::Routes>(files, listings, server.Counters());
    routes->UseFleet(fleetService.get());
    fileservice::FileSnapshots snapshots(options.snapshots);
    if (options.snapshots.maxBytes) routes->UseSnapshots(&snapshots);
    if (!options.tlsCert.empty()) {
        std::string error;
        if (!server.UseTls(options.tlsCert, options.tlsKey, error)) {
            std::fprintf(stderr, "aurevia-fileservice: %s\n", error.c_str());
            return 1;
        }
    }

    const int port = server.Start(options.address, options.port);
    if (port <= 0) {
        std::fprintf(stderr,
                     "aurevia-fileservice: cannot listen on %s:%d (address not available or port in use)\n",
                     options.address.c_str(), options.port);
        return 1;
    }
    if (!options.portFile.empty()) {
        const std::string temporary = options.portFile + ".tmp";
        std::ofstream(temporary) << port << "\n";
        std::filesystem::rename(temporary, options.portFile, ec);
    }
    std::printf("aurevia-fileservice: serving %s on %s://%s:%d\n", files.Root().c_str(),
                options.tlsCert.empty() ? "http" : "https", options.address.c_str(), port);
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    server.Stop();
    std::printf("aurevia-fileservice: stopped\n");
    return 0;
}
