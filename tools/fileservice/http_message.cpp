#include "tools/fileservice/http_message.h"

#include <unistd.h>

#include <algorithm>

#include "common/query_string.h"

namespace fileservice {

std::optional<std::string> Request::Param(std::string_view name) const {
    return QueryValue(QueryOf(target), name);
}

Response::Response(Response&& other) noexcept { *this = std::move(other); }

Response& Response::operator=(Response&& other) noexcept {
    if (this == &other) return *this;
    if (fd >= 0) ::close(fd);
    status = other.status;
    headers = std::move(other.headers);
    text = std::move(other.text);
    keep = std::move(other.keep);
    shared = other.shared;
    fd = std::exchange(other.fd, -1);
    offset = other.offset;
    length = other.length;
    version = other.version;
    immutable = other.immutable;
    snapshot = std::move(other.snapshot);
    close = other.close;
    return *this;
}

Response::~Response() {
    if (fd >= 0) ::close(fd);
}

void Response::Set(std::string name, std::string value) {
    for (auto& [n, v] : headers)
        if (n == name) {
            v = std::move(value);
            return;
        }
    headers.emplace_back(std::move(name), std::move(value));
}

void Response::File(int descriptor, std::uint64_t from, std::uint64_t size, FileVersion seen) {
    if (fd >= 0) ::close(fd);
    fd = descriptor;
    offset = from;
    length = size;
    version = seen;
}

std::uint64_t Response::BodySize() const {
    if (fd >= 0 || snapshot) return length;
    return keep ? shared.size() : text.size();
}

}  // namespace fileservice
