#include "tools/publish/fleet_counts.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include <rapidjson/document.h>

#include "common/fleet_report_format.h"

namespace publish {

namespace {

using Clock = std::chrono::steady_clock;

struct Url {
    std::string host, port = "80", path;
};

bool ParseUrl(const std::string& text, Url& url) {
    constexpr std::string_view kScheme = "http://";
    if (text.compare(0, kScheme.size(), kScheme) != 0) return false;
    std::string rest = text.substr(kScheme.size());
    const size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    url.path = slash == std::string::npos ? "" : rest.substr(slash);
    while (!url.path.empty() && url.path.back() == '/') url.path.pop_back();
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        const std::string after = authority.substr(close + 1);
        if (!after.empty() && after.front() != ':') return false;
        if (!after.empty()) url.port = after.substr(1);
        authority = authority.substr(1, close - 1);
    } else if (const size_t colon = authority.rfind(':'); colon != std::string::npos) {
        url.port = authority.substr(colon + 1);
        authority.resize(colon);
    }
    url.host = authority;
    for (const char c : url.path + url.host + url.port)
        if (static_cast<unsigned char>(c) <= ' ' || c == '?' || c == '#') return false;
    return !url.host.empty() && !url.port.empty() && url.port.size() <= 5 &&
           url.port.find_first_not_of("0123456789") == std::string::npos;
}

int MillisecondsLeft(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 60'000));
}

class Socket {
  public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// Waits for `events` on the socket until the deadline; false when it passed.
bool Wait(int fd, short events, Clock::time_point until) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int left = MillisecondsLeft(until);
        if (left == 0) return false;
        const int ready = ::poll(&entry, 1, left);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

// The body of a 200 answer; sets `error` otherwise.
std::string Exchange(const Url& url, Clock::time_point until, std::string& error) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(url.host.c_str(), url.port.c_str(), &hints, &found); rc != 0) {
        error = "cannot resolve " + url.host + ": " + gai_strerror(rc);
        return {};
    }
    std::string request = "GET " + url.path + "/painel/preparadas.json HTTP/1.0\r\nHost: " + url.host +
                          "\r\nAccept: application/json\r\nConnection: close\r\n\r\n";
    error = "no connection to " + url.host + ":" + url.port;
    for (const addrinfo* address = found; address; address = address->ai_next) {
        Socket socket(::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                               address->ai_protocol));
        if (socket.get() < 0) continue;
        if (::connect(socket.get(), address->ai_addr, address->ai_addrlen) != 0 && errno != EINPROGRESS) {
            error = "cannot connect to " + url.host + ":" + url.port + ": " + std::strerror(errno);
            continue;
        }
        if (!Wait(socket.get(), POLLOUT, until)) {
            error = "no answer from " + url.host + ":" + url.port + " in time";
            break;
        }
        int failure = 0;
        socklen_t length = sizeof(failure);
        ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &failure, &length);
        if (failure != 0) {
            error = "cannot connect to " + url.host + ":" + url.port + ": " + std::strerror(failure);
            continue;
        }
        size_t sent = 0;
        while (sent < request.size()) {
            if (!Wait(socket.get(), POLLOUT, until)) break;
            const ssize_t n =
                ::send(socket.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0 && errno != EAGAIN && errno != EINTR) break;
            if (n > 0) sent += static_cast<size_t>(n);
        }
        if (sent < request.size()) {
            error = "the request to " + url.host + " could not be sent in time";
            break;
        }
        std::string answer;
        char buffer[16384];
        for (;;) {
            if (!Wait(socket.get(), POLLIN, until)) {
                error = "the answer of " + url.host + " did not end in time";
                freeaddrinfo(found);
                return {};
            }
            const ssize_t n = ::recv(socket.get(), buffer, sizeof buffer, 0);
            if (n == 0) break;
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                error = std::string("the answer was cut: ") + std::strerror(errno);
                freeaddrinfo(found);
                return {};
            }
            answer.append(buffer, static_cast<size_t>(n));
            if (answer.size() > kMostFleetCountsBytes + 16384) {
                error = "the answer is larger than a fleet count can be";
                freeaddrinfo(found);
                return {};
            }
        }
        freeaddrinfo(found);
        const size_t head = answer.find("\r\n\r\n");
        const size_t space = answer.find(' ');
        if (head == std::string::npos || space == std::string::npos || answer.compare(0, 5, "HTTP/") != 0) {
            error = "the answer is not HTTP";
            return {};
        }
        const std::string status = answer.substr(space + 1, 3);
        if (status == "403") {
            error = "the service refused this address (HTTP 403: see its --painel-allow)";
            return {};
        }
        if (status != "200") {
            error = "the service answered HTTP " + status;
            return {};
        }
        error.clear();
        return answer.substr(head + 4);
    }
    freeaddrinfo(found);
    return {};
}

bool Count(const rapidjson::Value& object, const char* name, uint64_t& value) {
    const auto it = object.FindMember(name);
    if (it == object.MemberEnd() || !it->value.IsUint64()) return false;
    value = it->value.GetUint64();
    return true;
}

}  // namespace

FleetCounts ReadFleetCounts(const std::string& url, std::chrono::milliseconds deadline) {
    FleetCounts counts;
    Url parts;
    if (!ParseUrl(url, parts)) {
        counts.error = "not an http:// URL: " + url;
        return counts;
    }
    const std::string body = Exchange(parts, Clock::now() + deadline, counts.error);
    if (!counts.error.empty()) return counts;
    rapidjson::Document parsed;
    parsed.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(body.data(),
                                                                                         body.size());
    const rapidjson::Document& document = parsed;
    const auto notCounts = [&counts](const char* why) {
        counts.error = why;
        counts.rings.clear();
        return counts;
    };
    if (parsed.HasParseError() || !document.IsObject())
        return notCounts("the answer is not the service's count of staged releases");
    const auto rings = document.FindMember("rings");
    if (rings == document.MemberEnd() || !rings->value.IsArray())
        return notCounts("the answer is not the service's count of staged releases");
    for (const auto& entry : rings->value.GetArray()) {
        if (!entry.IsObject()) return notCounts("the answer holds a ring that is not one");
        FleetStagedRing ring;
        const auto name = entry.FindMember("ring");
        if (name == entry.MemberEnd() || !name->value.IsString() ||
            !IsFleetRingName(std::string_view(name->value.GetString(), name->value.GetStringLength())) ||
            !Count(entry, "staged", ring.staged) || !Count(entry, "holding", ring.holding) ||
            !Count(entry, "workstations", ring.workstations))
            return notCounts("the answer holds a ring that is not one");
        ring.ring.assign(name->value.GetString(), name->value.GetStringLength());
        counts.rings.push_back(std::move(ring));
    }
    Count(document, "more_rings", counts.moreRings);
    counts.reached = true;
    return counts;
}

}  // namespace publish
