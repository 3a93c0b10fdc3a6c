#pragma once
// One request and its answer as the file service's routes see them, apart from the HTTP server that
// reads and writes them: the routes build a Response from a Request and never touch a socket.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fileservice {

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

struct Response {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    // The body is one of: `text`; `shared` bytes kept alive by `keep`; or `length` bytes of the open
    // file `fd` from `offset` (owned: the server closes it), sent by the kernel without a copy.
    std::string text;
    std::shared_ptr<const void> keep;
    std::string_view shared;
    int fd = -1;
    std::uint64_t offset = 0, length = 0;
    bool close = false;  // close the connection after this answer

    Response() = default;
    Response(Response&& other) noexcept;
    Response& operator=(Response&& other) noexcept;
    Response(const Response&) = delete;
    Response& operator=(const Response&) = delete;
    ~Response();

    void Set(std::string name, std::string value);
    // The file part [offset, offset + length) of `descriptor`, which the response now owns.
    void File(int descriptor, std::uint64_t from, std::uint64_t size);
    std::uint64_t BodySize() const;
};

}  // namespace fileservice
