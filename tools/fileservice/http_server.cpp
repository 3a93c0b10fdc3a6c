#include "tools/fileservice/http_server.h"

#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "tools/fileservice/file_service.h"
#include "tools/fileservice/file_snapshots.h"

namespace fileservice {

using Clock = std::chrono::steady_clock;

namespace {

// A body on a route that takes none is read and thrown away up to this much; beyond, 413.
constexpr size_t kDiscardedBody = 64 * 1024;
// The minimum rate is judged over this window, so a short stall (a busy client, a lost packet)
// does not cut a reader.
constexpr auto kRateWindow = std::chrono::seconds(10);
constexpr unsigned kDefaultConnections = 10000;
// A file goes out in blocks of this size read here, rather than by sendfile: each block is checked
// against the file's version after it is read, which sendfile cannot do (it sends pages that a
// rewrite may change after they were queued). Large blocks also keep TLS records few (the library
// would otherwise read 4 KiB per record).
constexpr size_t kFileBlock = 64 * 1024;

// A file being sent: its descriptor (owned) and what it looked like when the answer was made.
struct FilePart {
    int fd;
    uint64_t offset;
    FileVersion version;
    std::atomic<size_t>* rewritten;  // the server's counter
};
constexpr auto kWatchPeriod = std::chrono::milliseconds(200);

std::string AddressText(const sockaddr* address, socklen_t length) {
    char text[INET6_ADDRSTRLEN] = "";
    if (!address || getnameinfo(address, length, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
        return "-";
    std::string ip = text;
    if (ip.starts_with("::ffff:")) ip.erase(0, 7);  // an IPv4 client on a dual-stack socket
    return ip;
}

// Bytes the connection has handed to the kernel so far: acknowledged by the client plus still queued.
uint64_t BytesWritten(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return 0;
    int queued = 0;
    if (ioctl(fd, SIOCOUTQ, &queued) != 0) queued = 0;
    return info.tcpi_bytes_acked + static_cast<uint64_t>(std::max(queued, 0));
}

uint64_t BytesAcknowledged(int fd, int& queued) {
    tcp_info info{};
    socklen_t length = sizeof info;
    queued = 0;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return 0;
    if (ioctl(fd, SIOCOUTQ, &queued) != 0) queued = 0;
    return info.tcpi_bytes_acked;
}

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return true;
}

bool IsTokenChar(unsigned char c) { return std::isalnum(c) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr; }

}  // namespace

struct HttpServer::Exchange {
    std::string target;
    Clock::time_point start = Clock::now();
    uint64_t writtenAtStart = 0;
    bool presented = false;  // the access handler has seen it
    bool answered = false;
    bool logged = false;
    size_t bodyLimit = 0, bodyBytes = 0;
    std::string body;
    Request request;
    int status = 0;
    uint64_t answerBytes = 0;
};

struct HttpServer::Connection {
    int fd = -1;
    std::string remote;
    enum class State { Head, Answer } state = State::Head;
    Clock::time_point deadline;  // for State::Head: the whole head by then
    // For State::Answer: the acknowledged byte count at the start of the current rate window; taken
    // by the watcher once the answer has lasted one of its periods (most answers end before, and
    // asking the socket on every answer costs two system calls each).
    Clock::time_point windowStart;
    uint64_t windowAcked = 0;
    bool windowOpen = false;
    // Bytes handed to the kernel when the last exchange was logged: where the next one's count
    // starts, since nothing is written between an answer's end and the next request.
    uint64_t written = 0;
    bool writtenKnown = false;
    bool cut = false;
    bool overLimit = false;        // one of the reserve beyond the limit: its requests are answered 503
    bool headStarted = false;      // a request line has come since the last answer
    size_t served = 0;             // answers completed
    Exchange* exchange = nullptr;  // the request in flight, owned
};

struct Callbacks {
    static HttpServer& Server(void* cls) { return *static_cast<HttpServer*>(cls); }

    static HttpServer::Connection* ConnectionOf(MHD_Connection* connection) {
        const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        return info ? static_cast<HttpServer::Connection*>(info->socket_context) : nullptr;
    }

    static unsigned Reserve(unsigned limit) { return std::max(1u, limit / 16); }

    static MHD_Result Accept(void* cls, const sockaddr* address, socklen_t length) {
        HttpServer& server = Server(cls);
        const unsigned limit = server.limits_.maxConnections;
        // Counted from the connections the library has started, not from the accepts: one that it
        // refuses after this (the per-address cap) must not count. Accepts in flight on the other
        // threads may pass the limit by a few.
        if (server.counters_.open < limit + Reserve(limit)) return MHD_YES;
        ++server.counters_.rejected;
        // Closed at once: a client that would wait in the backlog retries sooner elsewhere.
        const std::string remote = AddressText(address, length);
        server.logger_({remote, "-", "-", "-", "", "", 503, 0, std::time(nullptr), {}, 0});
        return MHD_NO;
    }

    static void Notify(void* cls, MHD_Connection* connection, void** context,
                       MHD_ConnectionNotificationCode code) {
        HttpServer& server = Server(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* c = new HttpServer::Connection;
            if (const auto* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
                c->fd = fd->connect_fd;
            if (const auto* a = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
                c->remote = AddressText(a->client_addr, sizeof(sockaddr_in6));
            c->deadline = Clock::now() + server.limits_.readTimeout;
            c->overLimit = ++server.counters_.open > server.limits_.maxConnections;
            *context = c;
            std::lock_guard lock(server.mutex_);
            server.connections_.insert(c);
            return;
        }
        auto* c = static_cast<HttpServer::Connection*>(*context);
        if (!c) return;
        {
            // The descriptor is closed after this returns; the watcher, which shuts descriptors
            // down under this lock, never reaches a reused one.
            std::lock_guard lock(server.mutex_);
            server.connections_.erase(c);
        }
        if (c->exchange) {
            // A request that the library refused before its handler (a malformed head): still logged.
            Finish(server, *c, *c->exchange, LibraryStatus(connection));
        }
        delete c;
        *context = nullptr;
        --server.counters_.open;
    }

    // The status of an answer the library gave itself (a head it refused); 400 when it says none.
    static int LibraryStatus(MHD_Connection* connection) {
        const auto* status = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_HTTP_STATUS);
        return status && status->http_status ? static_cast<int>(status->http_status) : 400;
    }

    // Logs an exchange (once) and forgets it.
    static void Finish(HttpServer& server, HttpServer::Connection& c, HttpServer::Exchange& e, int status) {
        if (!e.logged) {
            e.logged = true;
            const Request& r = e.request;
            const bool noBody = r.method == "HEAD" || status == 304;
            const uint64_t written = c.fd >= 0 ? BytesWritten(c.fd) : 0;
            c.written = written;
            c.writtenKnown = c.fd >= 0;
            server.logger_(
                {c.remote, r.method.empty() ? std::string_view("-") : r.method, e.target,
                 r.version.empty() ? std::string_view("-") : r.version, r.Header("Referer"),
                 r.Header("User-Agent"), status, static_cast<size_t>(noBody ? 0 : e.answerBytes),
                 std::time(nullptr),
                 std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - e.start),
                 static_cast<size_t>(written > e.writtenAtStart ? written - e.writtenAtStart : 0)});
        }
        if (c.exchange == &e) c.exchange = nullptr;
        delete &e;
    }

    static void* UriLog(void* cls, const char* uri, MHD_Connection* connection) {
        HttpServer& server = Server(cls);
        auto* e = new HttpServer::Exchange;
        e->target = uri ? uri : "";
        HttpServer::Connection* c = ConnectionOf(connection);
        if (c) {
            if (c->exchange) Finish(server, *c, *c->exchange, 400);
            c->exchange = e;
            {
                std::lock_guard lock(server.mutex_);
                c->headStarted = true;
            }
            if (c->writtenKnown)
                e->writtenAtStart = c->written;
            else if (c->fd >= 0)
                e->writtenAtStart = BytesWritten(c->fd);
        }
        return e;
    }

    static void Completed(void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode) {
        HttpServer& server = Server(cls);
        auto* e = static_cast<HttpServer::Exchange*>(*context);
        *context = nullptr;
        HttpServer::Connection* c = ConnectionOf(connection);
        if (e && e->answered) --server.counters_.busy;
        if (c) {
            std::lock_guard lock(server.mutex_);
            c->state = HttpServer::Connection::State::Head;
            c->deadline = Clock::now() + server.limits_.keepAlive;
            c->headStarted = false;
            ++c->served;
        }
        if (e && c)
            Finish(server, *c, *e, e->answered ? e->status : LibraryStatus(connection));
        else
            delete e;
    }

    // The request's head fails the framing rules that keep a body from being read as a request.
    static const char* Malformed(MHD_Connection* connection, bool http11) {
        struct Check {
            const char* problem = nullptr;
            std::string length;
            bool transferEncoding = false;
            int hosts = 0;
        } check;
        MHD_get_connection_values_n(
            connection, MHD_HEADER_KIND,
            [](void* cls, MHD_ValueKind, const char* key, size_t keySize, const char* value,
               size_t valueSize) {
                auto& k = *static_cast<Check*>(cls);
                const std::string_view name(key, keySize), text(value ? value : "", value ? valueSize : 0);
                if (name.empty() || !std::all_of(name.begin(), name.end(), [](char ch) {
                        return IsTokenChar(static_cast<unsigned char>(ch));
                    })) {
                    k.problem = "A header name holds a character that no name may hold.";
                    return MHD_NO;
                }
                for (const char ch : text) {
                    const auto byte = static_cast<unsigned char>(ch);
                    if ((byte < 0x20 && ch != '\t') || byte == 0x7f) {
                        k.problem = "A header value holds a control character.";
                        return MHD_NO;
                    }
                }
                if (strcasecmp(std::string(name).c_str(), "Content-Length") == 0) {
                    if (!k.length.empty() && k.length != text) {
                        k.problem = "Conflicting Content-Length headers.";
                        return MHD_NO;
                    }
                    if (text.empty() ||
                        !std::all_of(text.begin(), text.end(), [](char d) { return d >= '0' && d <= '9'; })) {
                        k.problem = "Invalid Content-Length.";
                        return MHD_NO;
                    }
                    k.length = std::string(text);
                } else if (strcasecmp(std::string(name).c_str(), "Host") == 0) {
                    ++k.hosts;
                } else if (strcasecmp(std::string(name).c_str(), "Transfer-Encoding") == 0) {
                    if (k.transferEncoding || strcasecmp(std::string(text).c_str(), "chunked") != 0) {
                        k.problem = "Only a single chunked transfer coding is taken.";
                        return MHD_NO;
                    }
                    k.transferEncoding = true;
                }
                return MHD_YES;
            },
            &check);
        if (!check.problem && check.transferEncoding && !check.length.empty())
            check.problem = "Content-Length beside Transfer-Encoding.";
        // The library's own answer to a missing Host is malformed (its head is sent twice).
        if (!check.problem && (check.hosts > 1 || (check.hosts == 0 && http11)))
            check.problem = "An HTTP/1.1 request names exactly one Host.";
        return check.problem;
    }

    // A file's body, read block by block. A block read while the file was rewritten in place (its
    // size or times no longer those of the answer's validators) or a file that shrank ends the
    // connection: the client sees a short body, never bytes of two versions under one ETag. A file
    // renamed over the served one is no change here: the descriptor still reads the old one.
    static MHD_Response* FileResponse(HttpServer& server, const Response& answer) {
        auto* file = new FilePart{answer.fd, answer.offset, answer.version, &server.counters_.rewritten};
        const size_t block = static_cast<size_t>(std::clamp<uint64_t>(answer.length, 1, kFileBlock));
        MHD_Response* response = MHD_create_response_from_callback(
            answer.length, block,
            [](void* cls, uint64_t position, char* buffer, size_t max) -> ssize_t {
                auto* part = static_cast<FilePart*>(cls);
                for (int attempt = 0;; ++attempt) {
                    const ssize_t got =
                        ::pread(part->fd, buffer, max, static_cast<off_t>(part->offset + position));
                    struct stat now {};
                    if (got <= 0 || ::fstat(part->fd, &now) != 0) return MHD_CONTENT_READER_END_WITH_ERROR;
                    if (part->version.Matches(now)) return got;
                    // Only the change time moved before the first byte went out: a rename or a
                    // change of owner or mode, or a rewrite that put the modification time back,
                    // which the validators (size and modification time) cannot tell apart anyway.
                    // Nothing is sent yet, so the answer may go on as of now. A rename in under a
                    // served name lands its entry a moment before it sets the file's change time,
                    // and an open in between would otherwise see a "rewrite" and end at once.
                    const bool sameContentTimes = static_cast<uint64_t>(now.st_size) == part->version.size &&
                                                  now.st_mtim.tv_sec == part->version.modified.tv_sec &&
                                                  now.st_mtim.tv_nsec == part->version.modified.tv_nsec;
                    if (position != 0 || attempt != 0 || !sameContentTimes) break;
                    part->version.changed = now.st_ctim;
                    part->version.links = static_cast<uint64_t>(now.st_nlink);
                }
                ++*part->rewritten;
                return MHD_CONTENT_READER_END_WITH_ERROR;
            },
            file,
            [](void* cls) {
                const auto* part = static_cast<const FilePart*>(cls);
                ::close(part->fd);
                delete part;
            });
        if (!response) delete file;
        return response;
    }

    // A sealed snapshot's bytes: by sendfile from its own descriptor (the library closes a
    // duplicate), or over TLS from its mapping, kept alive until the answer is done.
    static MHD_Response* SnapshotResponse(HttpServer& server, const Response& answer) {
        const FileSnapshot& snapshot = *answer.snapshot;
        if (server.tlsCert_.empty()) {
            const int fd = ::fcntl(snapshot.fd, F_DUPFD_CLOEXEC, 0);
            if (fd < 0) return nullptr;
            MHD_Response* response =
                MHD_create_response_from_fd_at_offset64(answer.length, fd, answer.offset);
            if (!response) ::close(fd);
            return response;
        }
        auto* keep = new std::shared_ptr<const FileSnapshot>(answer.snapshot);
        MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
            answer.length, const_cast<char*>(snapshot.mapped + answer.offset),
            [](void* cls) { delete static_cast<std::shared_ptr<const FileSnapshot>*>(cls); }, keep);
        if (!response) delete keep;
        return response;
    }

    static MHD_Result Queue(HttpServer& server, MHD_Connection* connection, HttpServer::Exchange& e,
                            Response answer) {
        MHD_Response* response = nullptr;
        const uint64_t bodyBytes = answer.BodySize();
        if (answer.snapshot) {
            response = SnapshotResponse(server, answer);
        } else if (answer.fd >= 0) {
            // An immutable file goes out by sendfile. Over TLS the library would read it in 4 KiB
            // blocks, one record each: the service's own larger blocks are cheaper there.
            response = answer.immutable && server.tlsCert_.empty()
                           ? MHD_create_response_from_fd_at_offset64(answer.length, answer.fd, answer.offset)
                           : FileResponse(server, answer);
            if (response) answer.fd = -1;  // closed with the response
        } else if (answer.keep) {
            auto* keep = new std::shared_ptr<const void>(answer.keep);
            response = MHD_create_response_from_buffer_with_free_callback_cls(
                answer.shared.size(), const_cast<char*>(answer.shared.data()),
                [](void* cls) { delete static_cast<std::shared_ptr<const void>*>(cls); }, keep);
            if (!response) delete keep;
        } else {
            response = MHD_create_response_from_buffer(answer.text.size(), answer.text.data(),
                                                       MHD_RESPMEM_MUST_COPY);
        }
        if (!response) return MHD_NO;  // out of memory: the library drops the connection
        for (const auto& [name, value] : answer.headers)
            MHD_add_response_header(response, name.c_str(), value.c_str());
        if (answer.close) MHD_add_response_header(response, "Connection", "close");
        e.answered = true;
        e.status = answer.status;
        e.answerBytes = bodyBytes;
        ++server.counters_.busy;
        if (HttpServer::Connection* c = ConnectionOf(connection)) {
            std::lock_guard lock(server.mutex_);
            c->state = HttpServer::Connection::State::Answer;
            c->windowOpen = false;
        }
        const MHD_Result result =
            MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
        MHD_destroy_response(response);
        return result;
    }

    static Response Refuse(int status, const char* error, const char* detail) {
        Response answer;
        answer.status = status;
        answer.text = ErrorRecordJson(status, error, detail);
        answer.Set("Content-Type", "application/json; charset=utf-8");
        answer.Set("Cache-Control", "no-store");
        answer.close = true;
        return answer;
    }

    static MHD_Result Access(void* cls, MHD_Connection* connection, const char* url, const char* method,
                             const char* version, const char* upload, size_t* uploadSize, void** context) {
        HttpServer& server = Server(cls);
        auto* e = static_cast<HttpServer::Exchange*>(*context);
        if (!e) return MHD_NO;
        if (!e->presented) {
            e->presented = true;
            Request& r = e->request;
            r.method = method;
            r.version = version;
            r.path = url;
            r.target = e->target;
            if (HttpServer::Connection* c = ConnectionOf(connection)) r.remoteAddress = c->remote;
            r.header = [connection](std::string_view name) {
                const char* value =
                    MHD_lookup_connection_value(connection, MHD_HEADER_KIND, std::string(name).c_str());
                return std::string(value ? value : "");
            };
            if (const char* problem = Malformed(connection, r.version == "HTTP/1.1")) {
                ++server.counters_.malformed;
                return Queue(server, connection, *e, Refuse(400, "Bad Request", problem));
            }
            if (const HttpServer::Connection* c = ConnectionOf(connection); c && c->overLimit) {
                // One of the few connections beyond the limit: told to come back, cheaply.
                Response busy = Refuse(503, "Service Unavailable", "The service is busy; try again shortly.");
                busy.Set("Retry-After", std::to_string(server.limits_.retryAfterSeconds));
                ++server.counters_.rejected;
                return Queue(server, connection, *e, std::move(busy));
            }
            e->bodyLimit = server.bodyLimit_ ? server.bodyLimit_(r.method, r.path) : 0;
            if (HttpServer::Connection* c = ConnectionOf(connection); c && c->fd >= 0) {
                // Long work for a request (the fleet page) stops once its client has hung up.
                r.clientGone = [fd = c->fd] {
                    pollfd p{fd, POLLRDHUP, 0};
                    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
                };
            }
            // A declared length over the limit is refused before any body: answered now, the library
            // sends no "100 Continue", so a client that waits for one sends nothing. A client already
            // sending a body only somewhat over is read to its end (up to twice the limit) so that
            // it sees the 413 rather than a reset.
            const size_t most = e->bodyLimit ? e->bodyLimit : kDiscardedBody;
            const char* declared = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
            const char* expect = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Expect");
            const unsigned long long length = declared ? std::strtoull(declared, nullptr, 10) : 0;
            if (length > most && ((expect && strcasecmp(expect, "100-continue") == 0) || length > 2 * most))
                return Queue(server, connection, *e,
                             Refuse(413, "Content Too Large", "The request body is too large."));
            // Answered on the next call, after any body: the library closes a connection whose
            // answer was queued on this first one.
            return MHD_YES;
        } else if (*uploadSize > 0) {
            if (e->answered) {  // refused mid-body: the rest is not read
                *uploadSize = 0;
                return MHD_YES;
            }
            e->bodyBytes += *uploadSize;
            const size_t limit = e->bodyLimit ? 2 * e->bodyLimit : kDiscardedBody;
            if (e->bodyBytes > limit)
                return Queue(server, connection, *e,
                             Refuse(413, "Content Too Large", "The request body is too large."));
            if (e->bodyLimit) e->body.append(upload, *uploadSize);
            *uploadSize = 0;
            return MHD_YES;
        }
        if (e->answered) return MHD_YES;
        e->request.body = std::move(e->body);
        Response answer;
        try {
            answer = server.handler_(e->request);
        } catch (const std::exception&) {
            answer = Refuse(500, "Internal Server Error", "The request could not be answered.");
        }
        if (answer.status == 400 || answer.status == 413 || answer.status == 414 || answer.status == 431)
            answer.close = true;
        return Queue(server, connection, *e, std::move(answer));
    }

    static void Log(void* cls, const char* format, va_list arguments) {
        // The library's reasons for not starting go to the service's log; what it says later about
        // single connections (a client gone, a failed handshake) would flood it under an attack.
        if (!Server(cls).starting_) return;
        std::fputs("aurevia-fileservice: ", stderr);
        std::vfprintf(stderr, format, arguments);
    }
};

HttpServer::HttpServer(ServerLimits limits, Handler handler, BodyLimit bodyLimit, Logger logger)
    : limits_(limits),
      handler_(std::move(handler)),
      bodyLimit_(std::move(bodyLimit)),
      logger_(std::move(logger)) {}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::UseTls(const std::string& certFile, const std::string& keyFile, std::string& error) {
    std::string cert, key;
    if (!ReadFile(certFile, cert)) {
        error = "cannot read the certificate " + certFile;
        return false;
    }
    if (!ReadFile(keyFile, key)) {
        error = "cannot read the key " + keyFile;
        return false;
    }
    // Checked here, where the reason can be told; the library would only fail to start.
    gnutls_certificate_credentials_t credentials = nullptr;
    gnutls_certificate_allocate_credentials(&credentials);
    const gnutls_datum_t certData{reinterpret_cast<unsigned char*>(cert.data()),
                                  static_cast<unsigned>(cert.size())};
    const gnutls_datum_t keyData{reinterpret_cast<unsigned char*>(key.data()),
                                 static_cast<unsigned>(key.size())};
    const int result =
        gnutls_certificate_set_x509_key_mem(credentials, &certData, &keyData, GNUTLS_X509_FMT_PEM);
    gnutls_certificate_free_credentials(credentials);
    if (result < 0) {
        error = result == GNUTLS_E_CERTIFICATE_KEY_MISMATCH
                    ? "key mismatch: " + keyFile + " is not the key of the certificate " + certFile
                    : "cannot load the certificate " + certFile + " with the key " + keyFile + ": " +
                          gnutls_strerror(result);
        return false;
    }
    tlsCert_ = std::move(cert);
    tlsKey_ = std::move(key);
    return true;
}

int HttpServer::Start(const std::string& address, int port) {
    // Each connection may hold its socket and one open file: the limit stays within the
    // descriptors, so that accepting never fails and leaves connections waiting in the backlog.
    const bool asked = limits_.maxConnections != 0;
    if (!asked) limits_.maxConnections = kDefaultConnections;
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        if (files.rlim_cur < files.rlim_max) {
            files.rlim_cur = files.rlim_max;
            setrlimit(RLIMIT_NOFILE, &files);
            getrlimit(RLIMIT_NOFILE, &files);
        }
        const rlim_t spare = 64 + limits_.otherDescriptors;
        const rlim_t allowed = files.rlim_cur > 2 * spare ? (files.rlim_cur - spare) / 2 : 8;
        const unsigned limit = limits_.maxConnections;
        if (limit + Callbacks::Reserve(limit) > allowed) {
            limits_.maxConnections = static_cast<unsigned>(allowed - allowed / 17);
            if (asked)
                std::fprintf(stderr,
                             "aurevia-fileservice: %u connections at most (the descriptor limit is %llu; "
                             "raise it with ulimit -n or LimitNOFILE for more)\n",
                             limits_.maxConnections, static_cast<unsigned long long>(files.rlim_cur));
        }
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) return -1;
    sockaddr_storage bind{};
    std::memcpy(&bind, found->ai_addr, found->ai_addrlen);
    const bool ipv6 = found->ai_family == AF_INET6;
    freeaddrinfo(found);

    const unsigned threads =
        limits_.threads ? limits_.threads : std::max(1u, std::thread::hardware_concurrency());
    const unsigned hard = limits_.maxConnections + Callbacks::Reserve(limits_.maxConnections);
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ERROR_LOG;
    if (ipv6) flags |= MHD_USE_DUAL_STACK;  // "::" takes IPv4 clients too, as Linux's sockets do
    if (!tlsCert_.empty()) flags |= MHD_USE_TLS;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&Callbacks::Log), this},
        // The library divides its limit among the threads; the accept policy keeps the real one.
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(hard * threads + 16), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(limits_.writeTimeout.count()), nullptr},
        {MHD_OPTION_LISTEN_BACKLOG_SIZE, 4096, nullptr},
        {MHD_OPTION_SOCK_ADDR, 0, &bind},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Callbacks::Notify), this},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Callbacks::Completed), this},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&Callbacks::UriLog), this},
    };
    if (threads > 1)
        options.push_back({MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(threads), nullptr});
    if (limits_.perAddress)
        options.push_back(
            {MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<intptr_t>(limits_.perAddress), nullptr});
    if (!tlsCert_.empty()) {
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, tlsCert_.data()});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, tlsKey_.data()});
        // TLS 1.2 stays accepted: Wine's WinHTTP and older Windows clients speak nothing newer.
        // X25519 first: TLS 1.3 clients send a key share for it alone, and a server that prefers
        // P-256 (the library's default order) asks them for another share, a whole round trip more
        // per fresh connection. P-256 stays for the clients that have no X25519.
        options.push_back(
            {MHD_OPTION_HTTPS_PRIORITIES, 0,
             const_cast<char*>("NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-GROUP-ALL:+GROUP-X25519:"
                               "+GROUP-SECP256R1:+GROUP-SECP384R1:+GROUP-SECP521R1:+GROUP-X448:"
                               "+GROUP-FFDHE2048:+GROUP-FFDHE3072:%SERVER_PRECEDENCE")});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});

    daemon_ = MHD_start_daemon(flags, 0, &Callbacks::Accept, this, &Callbacks::Access, this, MHD_OPTION_ARRAY,
                               options.data(), MHD_OPTION_END);
    starting_ = false;
    if (!daemon_) return -1;
    watch_ = std::thread([this] { WatchLoop(); });
    const auto* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    return info ? info->port : -1;
}

void HttpServer::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    stopSignal_.notify_all();
    if (watch_.joinable()) watch_.join();
    if (daemon_) MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

void HttpServer::WatchLoop() {
    std::unique_lock lock(mutex_);
    while (!stopSignal_.wait_for(lock, kWatchPeriod, [this] { return stopping_; })) {
        const auto now = Clock::now();
        for (Connection* c : connections_) {
            if (c->cut || c->fd < 0) continue;
            if (c->state == Connection::State::Head) {
                if (now < c->deadline) continue;
                // A kept-alive connection that simply stayed idle is not a head that came too late.
                if (c->served == 0 || c->headStarted) ++counters_.timedOut;
            } else {
                if (!limits_.minRate) continue;
                int queued = 0;
                if (!c->windowOpen) {
                    c->windowOpen = true;
                    c->windowStart = now;
                    c->windowAcked = BytesAcknowledged(c->fd, queued);
                    continue;
                }
                if (now - c->windowStart < kRateWindow) continue;
                const uint64_t acked = BytesAcknowledged(c->fd, queued);
                const auto seconds = std::chrono::duration<double>(now - c->windowStart).count();
                const bool slow =
                    queued > 0 && static_cast<double>(acked - c->windowAcked) < limits_.minRate * seconds;
                c->windowStart = now;
                c->windowAcked = acked;
                if (!slow) continue;
                ++counters_.slow;
            }
            // The library sees the connection end and closes it on its own thread.
            c->cut = true;
            ::shutdown(c->fd, SHUT_RDWR);
        }
    }
}

}  // namespace fileservice
