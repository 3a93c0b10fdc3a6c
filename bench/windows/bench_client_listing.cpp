// Lists the service's whole tree with TRESTClientFileList ROUNDS times in each of two ways, rounds
// alternating: through one URL (from the second listing on, the client sends the kept listing's ETag
// and takes its kept records on 304) and through two URLs of the same service in turn (the one kept
// listing is always the other URL's, so every listing travels and is decoded whole). Prints the
// median milliseconds of each.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "update/transport/rest_client.h"

namespace {

double ListMs(const std::wstring& url, int& count) {
    const auto start = std::chrono::steady_clock::now();
    TRESTClientFileList client(url);
    client.Execute(L"\\", L"*.*", true);
    count = client.Count();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_client_listing URL OTHER_URL_OF_THE_SAME_SERVICE [ROUNDS]\n");
        return 2;
    }
    const std::wstring one = argv[1], other = argv[2];
    const int rounds = argc > 3 ? std::stoi(argv[3]) : 15;
    std::vector<double> revalidated, whole;
    int count = 0, wholeCount = 0;
    ListMs(one, count);  // the first listing of `one`, kept
    for (int i = 0; i < rounds; ++i) {
        revalidated.push_back(ListMs(one, count));
        // The second of these keeps `one` again for the next revalidated round.
        whole.push_back((ListMs(other, wholeCount) + ListMs(one, wholeCount)) / 2);
    }
    std::printf("files=%d revalidated_ms=%.2f whole_ms=%.2f\n", std::min(count, wholeCount),
                Median(revalidated), Median(whole));
    return count == wholeCount ? 0 : 1;
}
