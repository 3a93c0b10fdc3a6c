// Records per second for TFilesInfoDTOHelper::FromJSON against a bare RapidJSON DOM parse of the
// same text, measured in the same run. Usage: bench_files_info_json [records] [rounds]
#include <rapidjson/document.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/string_convert.h"
#include "update/file_info.h"

namespace {

// A listing as the file service writes it: report layouts and libraries, ages in UTC and, for a
// third of them, with an offset.
std::string MakeListing(int ACount) {
    std::string text = "[";
    char record[160];
    for (int i = 0; i < ACount; ++i) {
        const char* offset = i % 3 == 0 ? "-03:00" : (i % 3 == 1 ? "Z" : ".250+01:00");
        std::snprintf(
            record, sizeof record,
            "%s{\"FileName\":\"Relatorio\\\\Rpt%05d.rav\",\"Age\":\"2022-%02d-%02dT%02d:%02d:%02d%s\"}",
            i == 0 ? "" : ",", i, i % 12 + 1, i % 28 + 1, i % 24, i % 60, (i * 7) % 60, offset);
        text += record;
    }
    return text + "]";
}

template <class F>
double BestSeconds(int ARounds, F&& AStep) {
    double best = 1e30;
    for (int round = 0; round < ARounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        AStep();
        best =
            std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 100'000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    const std::string utf8 = MakeListing(count);
    const std::wstring text = Utf8ToWide(utf8);

    size_t decoded = 0;
    const double fromJSON = BestSeconds(rounds, [&] {
        TFilesInfoDTO list;
        TFilesInfoDTOHelper::FromJSON(list, text);
        decoded = list.size();
        TFilesInfoDTOHelper::FreeAll(list);
    });
    size_t parsed = 0;
    const double bare = BestSeconds(rounds, [&] {
        rapidjson::Document document;
        document.Parse(utf8.data(), utf8.size());
        parsed = document.IsArray() ? document.Size() : 0;
    });
    if (decoded != static_cast<size_t>(count) || parsed != static_cast<size_t>(count)) {
        std::fprintf(stderr, "bench: decoded %zu and parsed %zu of %d records\n", decoded, parsed, count);
        return 1;
    }
    const double fromJSONRate = count / fromJSON, bareRate = count / bare;
    std::printf("records: %d (%zu bytes of JSON), best of %d rounds\n", count, utf8.size(), rounds);
    std::printf("FromJSON:           %12.0f records/s\n", fromJSONRate);
    std::printf("RapidJSON DOM parse: %11.0f records/s\n", bareRate);
    std::printf("ratio FromJSON / bare parse: %.2f\n", fromJSONRate / bareRate);
    return 0;
}
