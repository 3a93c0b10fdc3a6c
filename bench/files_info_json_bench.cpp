// Records per second for TFilesInfoDTOHelper::FromJSON against a bare RapidJSON DOM parse of the
// same text, measured in the same run. Usage: bench_files_info_json [records] [rounds]
#include <rapidjson/document.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "base/string_convert.h"
#include "update/records/file_info.h"

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

// Processor time of this process: on a shared build machine wall time mostly measures the others.
double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double SecondsOf(const std::function<void()>& AStep) {
    const double start = CpuSeconds();
    AStep();
    return CpuSeconds() - start;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 100'000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    const std::string utf8 = MakeListing(count);
    const std::wstring text = Utf8ToWide(utf8);

    size_t decoded = 0, parsed = 0;
    const auto fromJSONStep = [&] {
        TFilesInfoDTO list;
        TFilesInfoDTOHelper::FromJSON(list, text);
        decoded = list.size();
        TFilesInfoDTOHelper::FreeAll(list);
    };
    const auto bareStep = [&] {
        rapidjson::Document document;
        document.Parse(utf8.data(), utf8.size());
        parsed = document.IsArray() ? document.Size() : 0;
    };
    // Rounds alternate between the two so that both see the same machine load; each keeps its best.
    double fromJSON = 1e30, bare = 1e30;
    for (int round = 0; round < rounds; ++round) {
        fromJSON = std::min(fromJSON, SecondsOf(fromJSONStep));
        bare = std::min(bare, SecondsOf(bareStep));
    }
    if (decoded != static_cast<size_t>(count) || parsed != static_cast<size_t>(count)) {
        std::fprintf(stderr, "bench: decoded %zu and parsed %zu of %d records\n", decoded, parsed, count);
        return 1;
    }
    const double fromJSONRate = count / fromJSON, bareRate = count / bare;
    std::printf("records: %d (%zu bytes of JSON), best of %d alternating rounds, processor time\n", count,
                utf8.size(), rounds);
    std::printf("FromJSON:           %12.0f records/s\n", fromJSONRate);
    std::printf("RapidJSON DOM parse: %11.0f records/s\n", bareRate);
    std::printf("ratio FromJSON / bare parse: %.2f\n", fromJSONRate / bareRate);
    return 0;
}
