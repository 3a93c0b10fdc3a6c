// The fleet sender through proxies under Wine: squid named in the settings carries the report, and
// a proxy that wants a password gets none and is named in the failure. The proxies are the ctest
// fixture of tests/windows/update/transport (proxies.sh).
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/error.h"
#include "base/string_convert.h"
#include "launcher/fleet/fleet_sender.h"

namespace fs = std::filesystem;

namespace {

std::string PortOf(const fs::path& state, const char* name) {
    std::string port;
    std::ifstream(state / (std::string(name) + ".port")) >> port;
    return port;
}

size_t LinesWith(const fs::path& log, const std::string& part) {
    size_t found = 0;
    for (int i = 0; i < 40 && found == 0; ++i, Sleep(50)) {
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);) found += line.find(part) != std::string::npos;
    }
    return found;
}

TEST(FleetSenderProxy, AReportGoesThroughTheNamedProxyAndAPasswordProxyIsNamedInTheFailure) {
    const char* linuxState = std::getenv("AUREVIA_TEST_PROXIES_STATE");
    ASSERT_NE(linuxState, nullptr) << "run through ctest: the proxies are a ctest fixture";
    const fs::path state = fs::path(L"Z:" + Utf8ToWide(linuxState)).make_preferred();
    const std::string squid = "127.0.0.3:" + PortOf(state, "squid");
    const std::string basic = "127.0.0.2:" + PortOf(state, "basic");
    const std::wstring service =
        Utf8ToWide("http://127.0.0.2:" + PortOf(state, "origin") + "/fleet-through-squid");

    const TProxySetting viaSquid{TProxySetting::TMode::Named, Utf8ToWide(squid)};
    EXPECT_EQ(PostFleetBatch(service, "[]", {}, viaSquid), TFleetDelivery::Accepted);
    EXPECT_EQ(LinesWith(state / L"access.log",
                        "POST http://127.0.0.2:" + PortOf(state, "origin") + "/fleet-through-squid/report"),
              1u);

    const TProxySetting viaBasic{TProxySetting::TMode::Named, Utf8ToWide(basic)};
    try {
        PostFleetBatch(service, "[]", {}, viaBasic);
        ADD_FAILURE() << "delivered through a proxy that wants a password";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("O proxy " + basic + " exige"), std::string::npos) << e.what();
        EXPECT_EQ(e.Code(), HttpStatusCode(407));
    }
}

}  // namespace
