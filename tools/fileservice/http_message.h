#pragma once
// One request and its answer as the file service's routes see them, apart from the HTTP server that
// reads and writes them: the routes build a Response from a Request and never touch a socket.
#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fileservice {

struct FileSnapshot;  // file_snapshots.h

struct Request {
    std::string method, target, path, version;  // target: as sent (raw query); path: decoded
    std::string remoteAddress;
    std::string body;  // only on routes that take one (see BodyLimit); else always empty
    // A request header's value (names compared without regard to case); empty when absent.
    std::function<std::string(std::string_view name)> header;
    std::string Header(std::string_view name) const { return header ? header(name) : std::string(); }
    // True once the client has closed its end: long work for it may stop.
    std::function<bool()> clientGone;
    // A query parameter, decoded ("+" as a space, %XX); nullopt when absent.
    std::optional<std::string> Param(std::string_view name) const;
    bool HasParam(std::string_view name) const { return Param(name).has_value(); }
};

// What a file looked like when an answer's validators were made from it. A file rewritten in place
// while it is sent no longer matches, and the rest of its bytes would not be the ones the validators
// name: the connection is ended instead.
struct FileVersion {
    std::uint64_t size = 0;
    struct timespec modified {
    }, changed{};
    std::uint64_t links = 0;

    // True while `now` (fstat of the same descriptor) may still hold the same bytes. The change time
    // catches a rewrite whose writer set the modification time back; it moves too when the file is
    // renamed over or deleted (its link count drops), which leaves the bytes being sent as they were.
    bool Matches(const struct stat& now) const {
        const auto same = [](const struct timespec& a, const struct timespec& b) {
            return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
        };
        return static_cast<std::uint64_t>(now.st_size) == size && same(now.st_mtim, modified) &&
               (same(now.st_ctim, changed) || static_cast<std::uint64_t>(now.st_nlink) < links);
    }
};

struct Response {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    // The body is one of: `text`; `shared` bytes kept alive by `keep`; `length` bytes of the open
    // file `fd` from `offset` (owned: the server closes it), read and sent block by block, or sent
    // by sendfile when `immutable`; or `length` bytes of `snapshot` from `offset`.
    std::string text;
    std::shared_ptr<const void> keep;
    std::string_view shared;
    int fd = -1;
    std::uint64_t offset = 0, length = 0;
    FileVersion version;  // of `fd`'s file when the answer was made
    // The file's bytes never change under its name (a content-addressed object): its own pages may
    // go out by reference.
    bool immutable = false;
    std::shared_ptr<const FileSnapshot> snapshot;
    bool close = false;  // close the connection after this answer

    Response() = default;
    Response(Response&& other) noexcept;
    Response& operator=(Response&& other) noexcept;
    Response(const Response&) = delete;
    Response& operator=(const Response&) = delete;
    ~Response();

    void Set(std::string name, std::string value);
    // The file part [offset, offset + length) of `descriptor`, which the response now owns, as it
    // was when it looked like `seen`.
    void File(int descriptor, std::uint64_t from, std::uint64_t size, FileVersion seen = {});
    std::uint64_t BodySize() const;
};

}  // namespace fileservice
