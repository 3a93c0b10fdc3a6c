// The rollout document as the page shows it, read with the publisher's and the launcher's codec.
#include <unistd.h>

#include <cerrno>

#include <string>

#include "tools/fileservice/fleet/fleet_view.h"
#include "tools/fileservice/served_file.h"
#include "update/trust/release_documents.h"

namespace fleet {

namespace {

// A document is a few hundred bytes; anything far larger is not one, and is not read into memory.
constexpr std::uintmax_t kMostRolloutBytes = 1024 * 1024;

}  // namespace

RolloutView ReadRollout(const std::filesystem::path& folder) {
    RolloutView view;
    const auto path = folder / std::string(kRolloutFileName);
    // Opened the way every served file is: a FIFO or a link put under the document's name must
    // not hold the page's thread, and size and content come from the one file opened.
    const fileservice::OpenedFile file = fileservice::OpenServedFile(path.c_str());
    if (file.Refused()) {
        if (file.error == ENOENT) return view;
        view.present = true;
        view.error = "não pôde ser lido";
        return view;
    }
    view.present = true;
    std::string bytes;
    bool readable = true;
    if (static_cast<std::uintmax_t>(file.info.st_size) > kMostRolloutBytes) {
        view.error = "grande demais";
        readable = false;
    } else {
        bytes.resize(static_cast<std::size_t>(file.info.st_size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got = ::read(file.fd, bytes.data() + done, bytes.size() - done);
            if (got <= 0) break;
            done += static_cast<std::size_t>(got);
        }
        if (done != bytes.size()) {
            view.error = "não pôde ser lido";
            readable = false;
        }
    }
    ::close(file.fd);
    if (!readable) return view;
    try {
        const TRollout rollout = DecodeRollout(bytes);
        view.serial = rollout.Serial;
        view.expiresUnix = rollout.ExpiresUnix;
        for (const TRingAssignment& ring : rollout.Rings)
            view.rings.push_back({ring.Ring, ring.Release, ring.Previous, ring.Percent, ring.Staged});
    } catch (const std::exception& error) {
        view.error = error.what();  // escaped where the page writes it
    }
    return view;
}

}  // namespace fleet
