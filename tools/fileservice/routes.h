#pragma once
// The file service's requests:
//   GET .../folderlist?folder=F&mask=M&recursive=   the files under F as a JSON array of records
//   GET .../download?file=NAME                      the bytes of one file
//   GET /healthz                                    200 while the served folder can be read
// Any path prefix before the last segment is accepted, so the launcher's base URL may carry one.
// HEAD is answered as GET without the body; other methods get 405.
// With the fleet view on (--reports), also POST .../report, GET /painel, /painel/estacoes.csv and
// /metrics (see fleet/fleet_service.h); without it those paths are unknown (404).
#include <string_view>

#include "tools/fileservice/file_service.h"
#include "tools/fileservice/file_snapshots.h"
#include "tools/fileservice/fleet/fleet_service.h"
#include "tools/fileservice/http_message.h"
#include "tools/fileservice/http_server.h"
#include "tools/fileservice/listing_cache.h"

namespace fileservice {

class Routes {
  public:
    // `files`, `listings` and `counters` must outlive the routes.
    Routes(const FileService& files, ListingCache& listings, const ServerCounters& counters)
        : files_(files), listings_(listings), counters_(counters) {}

    // Every request's answer: the one place where a request is matched to its route.
    Response Answer(const Request& request) const;

    // The fleet view's routes, answered by `fleet` (which must outlive the routes). Before serving.
    void UseFleet(fleet::FleetService* fleet) { fleet_ = fleet; }

    // Downloads go out from sealed snapshots of their files where `snapshots` has room (see
    // file_snapshots.h; it must outlive the routes). Before serving.
    void UseSnapshots(FileSnapshots* snapshots) { snapshots_ = snapshots; }

    // The body bytes a route takes (see HttpServer::BodyLimit): a report batch's, else none.
    static size_t BodyLimit(std::string_view method, std::string_view path);

  private:
    Response List(const Request& request) const;
    Response Download(const Request& request) const;
    Response Health() const;

    const FileService& files_;
    ListingCache& listings_;
    const ServerCounters& counters_;
    fleet::FleetService* fleet_ = nullptr;
    FileSnapshots* snapshots_ = nullptr;
};

}  // namespace fileservice
