#pragma once
// Hands one batch of reports to the fleet service: POST <url>/report with a JSON body, over WinHTTP
// with short timeouts; only the answer's status and the header naming the formats the service takes
// are read. Any thread.
#include <string>

#include "update/transport/proxy_setting.h"

enum class TFleetDelivery {
    Accepted,  // 200: the whole batch is stored
    Rejected,  // 400: the batch is malformed and can never be accepted
};

struct TFleetTimeouts {
    int ResolveMs = 3000;
    int ConnectMs = 3000;
    int SendMs = 3000;
    int ReceiveMs = 3000;
};

// "<url>/report": one slash between, whatever the configured URL ends with.
std::wstring FleetReportUrl(const std::wstring& ABaseUrl);

// Raises what kept the batch from being delivered, as the file service client raises its failures
// (update/transport/http_request.h): no answer (TTransportError: its WinHTTP code, Timeout or Tls
// where the code says so), any answer but 200 and 400 (its status; Server for 5xx), a URL that is
// no http or https URL, a proxy that wants a password (update/transport/proxy_challenge.h). The
// batch then stays for a later try. AProxy: as an update's requests go; a PAC file or WPAD is looked
// up on the calling thread (never the UI thread's job: the sender runs on the pool). ATakesFormat2,
// when given, is set to whether the answer said the service takes report format /2 (see
// common/fleet_report_format.h); false for no answer.
TFleetDelivery PostFleetBatch(const std::wstring& ABaseUrl, const std::string& ABody,
                              const TFleetTimeouts& ATimeouts = {}, const TProxySetting& AProxy = {},
                              bool* ATakesFormat2 = nullptr);
