// The rollout document as the page shows it. TEMPORARY reader until the shared codec lands.
#include <fstream>
#include <sstream>

#include <rapidjson/document.h>

#include "tools/fileservice/fleet/fleet_view.h"
#include "tools/fileservice/fleet/report.h"

namespace fleet {

RolloutView ReadRollout(const std::filesystem::path& folder) {
    RolloutView view;
    const auto path = folder / "aurevia-rollout.json";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return view;
    view.present = true;
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    rapidjson::Document d;
    d.Parse(bytes.str().c_str());
    if (d.HasParseError() || !d.IsObject() || !d.HasMember("rings") || !d["rings"].IsArray()) {
        view.error = "documento ilegível";
        return view;
    }
    if (d.HasMember("serial") && d["serial"].IsUint64()) view.serial = d["serial"].GetUint64();
    if (d.HasMember("expires") && d["expires"].IsString())
        view.expiresUnix = ParseReportTime(d["expires"].GetString()).value_or(0);
    for (const auto& r : d["rings"].GetArray()) {
        if (!r.IsObject() || !r.HasMember("ring") || !r["ring"].IsString() || !r.HasMember("release") ||
            !r["release"].IsUint64())
            continue;
        RingTarget t;
        t.ring = r["ring"].GetString();
        t.release = r["release"].GetUint64();
        if (r.HasMember("previous") && r["previous"].IsUint64()) t.previous = r["previous"].GetUint64();
        if (r.HasMember("percent") && r["percent"].IsUint()) t.percent = r["percent"].GetUint();
        view.rings.push_back(t);
    }
    return view;
}

}  // namespace fleet
