// Makes the patch between two files with the publisher's differ and applies it with the
// workstation's applier, timing both; writes the patch to a file so that the script can weigh it
// against its peers. Usage: bench_patches OLD NEW PATCH_OUT
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "common/binary_patch.h"
#include "tools/publish/patch_maker.h"

namespace {

std::string ReadAll(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "Usage: bench_patches OLD NEW PATCH_OUT\n");
        return 2;
    }
    const std::string old = ReadAll(argv[1]), made = ReadAll(argv[2]);
    auto start = std::chrono::steady_clock::now();
    const std::string patch = publish::MakeBinaryPatch(old, made);
    const double makeSeconds = SecondsSince(start);
    start = std::chrono::steady_clock::now();
    int rounds = 0;
    std::string result;
    do {
        result = ApplyBinaryPatch(old, patch, made.size());
        ++rounds;
    } while (SecondsSince(start) < 0.5);
    const double applySeconds = SecondsSince(start) / rounds;
    if (result != made) {
        std::fprintf(stderr, "bench_patches: the patch does not make the new file\n");
        return 1;
    }
    std::ofstream(argv[3], std::ios::binary) << patch;
    std::printf("patch %zu make_s %.4f apply_s %.5f\n", patch.size(), makeSeconds, applySeconds);
    return 0;
}
