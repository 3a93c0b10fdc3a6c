// The rollout document as the page shows it, read with the publisher's and the launcher's codec.
#include <fstream>
#include <sstream>

#include "tools/fileservice/fleet/fleet_view.h"
#include "update/trust/release_documents.h"

namespace fleet {

namespace {

// A document is a few hundred bytes; anything far larger is not one, and is not read into memory.
constexpr std::uintmax_t kMostRolloutBytes = 1024 * 1024;

}  // namespace

RolloutView ReadRollout(const std::filesystem::path& folder) {
    RolloutView view;
    const auto path = folder / std::string(kRolloutFileName);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return view;
    view.present = true;
    if (std::filesystem::file_size(path, ec) > kMostRolloutBytes || ec) {
        view.error = ec ? "não pôde ser lido" : "grande demais";
        return view;
    }
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    if (!in && !in.eof()) {
        view.error = "não pôde ser lido";
        return view;
    }
    try {
        const TRollout rollout = DecodeRollout(bytes.str());
        view.serial = rollout.Serial;
        view.expiresUnix = rollout.ExpiresUnix;
        for (const TRingAssignment& ring : rollout.Rings)
            view.rings.push_back({ring.Ring, ring.Release, ring.Previous, ring.Percent});
    } catch (const std::exception& error) {
        view.error = error.what();  // escaped where the page writes it
    }
    return view;
}

}  // namespace fleet
