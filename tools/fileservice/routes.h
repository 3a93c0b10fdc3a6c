#pragma once
// The file service's requests on an httplib server:
//   GET .../folderlist?folder=F&mask=M&recursive=   the files under F as a JSON array of records
//   GET .../download?file=NAME                      the bytes of one file
//   GET /healthz                                    200 while the served folder can be read
// Any path prefix before the last segment is accepted, so the launcher's base URL may carry one.
#include <httplib.h>

#include "tools/fileservice/connection_server.h"
#include "tools/fileservice/fleet/fleet_service.h"
#include "tools/fileservice/file_service.h"
#include "tools/fileservice/listing_cache.h"

namespace fileservice {

// `files`, `listings` and `counters` must outlive the server.
void AddRoutes(httplib::Server& server, const FileService& files, ListingCache& listings,
               const ConnectionCounters& counters);

// POST .../report, GET /painel, /painel/estacoes.csv and /metrics, answered by `fleet` (which must
// outlive the server). Without it those paths stay unknown (404).
void AddFleetRoutes(httplib::Server& server, fleet::FleetService& fleet);

}  // namespace fileservice
