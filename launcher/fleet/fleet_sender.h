#pragma once
// Hands one batch of reports to the fleet service: POST <url>/report with a JSON body, over WinHTTP
// with short timeouts; only the answer's status is read. Any thread; never raises.
#include <string>

enum class TFleetDelivery {
    Accepted,  // 200: the whole batch is stored
    Rejected,  // 400: the batch is malformed and can never be accepted
    Failed,    // anything else, or no answer: the batch stays for a later try
};

struct TFleetTimeouts {
    int ResolveMs = 3000;
    int ConnectMs = 3000;
    int SendMs = 3000;
    int ReceiveMs = 3000;
};

// "<url>/report": one slash between, whatever the configured URL ends with.
std::wstring FleetReportUrl(const std::wstring& ABaseUrl);

TFleetDelivery PostFleetBatch(const std::wstring& ABaseUrl, const std::string& ABody,
                              const TFleetTimeouts& ATimeouts = {});
