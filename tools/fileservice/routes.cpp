#include "tools/fileservice/routes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "tools/fileservice/http_validators.h"

namespace fileservice {

namespace {

constexpr char kJSON[] = "application/json; charset=utf-8";

void SendRefusal(httplib::Response& res, const Refusal& refusal) {
    res.status = refusal.status;
    res.headers.erase("Cache-Control");
    res.set_header("Cache-Control", "no-store");
    res.set_content(ErrorRecordJSON(refusal), kJSON);
}

// True for "gzip" listed in Accept-Encoding without q=0.
bool AcceptsGzip(const std::string& acceptEncoding) {
    size_t pos = 0;
    while (pos < acceptEncoding.size()) {
        size_t end = acceptEncoding.find(',', pos);
        if (end == std::string::npos) end = acceptEncoding.size();
        std::string item = acceptEncoding.substr(pos, end - pos);
        pos = end + 1;
        std::string compact;
        for (const char c : item)
            if (c != ' ' && c != '\t')
                compact.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        if (!compact.starts_with("gzip") || (compact.size() > 4 && compact[4] != ';')) continue;
        const size_t q = compact.find(";q=");
        return q == std::string::npos || std::strtod(compact.c_str() + q + 3, nullptr) > 0;
    }
    return false;
}

// The bytes [base, base + size) of an open file; each worker reads through a buffer of its own.
void ProvideFrom(httplib::Response& res, std::shared_ptr<int> fd, off_t base, size_t size) {
    res.set_content_provider(
        size, "application/octet-stream", [fd, base](size_t offset, size_t length, httplib::DataSink& sink) {
            static thread_local std::string buffer(256 * 1024, '\0');
            const ssize_t got = ::pread(*fd, buffer.data(), std::min(length, buffer.size()),
                                        base + static_cast<off_t>(offset));
            if (got <= 0) return false;  // shrank meanwhile: drop the connection
            return sink.write(buffer.data(), static_cast<size_t>(got));
        });
}

void HandleList(ListingCache& listings, const httplib::Request& req, httplib::Response& res) {
    std::shared_ptr<const RenderedListing> listing;
    try {
        listing = listings.Get(req.get_param_value("folder"), req.get_param_value("mask"),
                               req.has_param("recursive"));
    } catch (const Refusal& refusal) {
        return SendRefusal(res, refusal);
    }
    const bool gzip = AcceptsGzip(req.get_header_value("Accept-Encoding"));
    const std::string etag = gzip ? listing->GzipETag() : listing->ETag();
    res.set_header("ETag", etag);
    res.set_header("Last-Modified", HttpDate(listing->LastModified()));
    res.set_header("Cache-Control", "no-cache");
    res.set_header("Vary", "Accept-Encoding");
    if (NotModified(req.get_header_value("If-None-Match"), req.get_header_value("If-Modified-Since"), etag,
                    listing->LastModified())) {
        res.status = 304;
        return;
    }
    if (gzip) res.set_header("Content-Encoding", "gzip");
    const std::string* body = gzip ? &listing->Gzip() : &listing->Body();
    if (body->empty()) return res.set_content("", kJSON);
    // The body is shared with the cache: written from there, not copied per request.
    res.set_content_provider(
        body->size(), kJSON, [listing, body](size_t offset, size_t length, httplib::DataSink& sink) {
            return sink.write(body->data() + offset, std::min<size_t>(length, 256 * 1024));
        });
}

void HandleDownload(const FileService& files, const httplib::Request& req, httplib::Response& res) {
    // The launcher sends "+" and "&" in a name unencoded: the name is the raw rest of the query.
    const auto raw = RawQueryTail(req.target, "file");
    if (!raw) return SendRefusal(res, {400, "Bad Request", "No file parameter given."});
    std::filesystem::path path;
    try {
        path = files.ResolveFile(PercentDecode(*raw));
    } catch (const Refusal& refusal) {
        return SendRefusal(res, refusal);
    }
    auto fd = std::shared_ptr<int>(new int(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), [](int* p) {
        if (*p >= 0) ::close(*p);
        delete p;
    });
    struct stat info {};
    if (*fd < 0 || ::fstat(*fd, &info) != 0 || !S_ISREG(info.st_mode))
        return SendRefusal(res, {403, "Forbidden", "The file cannot be read."});
    const auto size = static_cast<std::uint64_t>(info.st_size);
    const std::string etag = FileETag(size, info.st_mtim);
    res.set_header("ETag", etag);
    res.set_header("Last-Modified", HttpDate(info.st_mtim.tv_sec));
    // Any cache may keep a file, but must ask again (a 304 when unchanged) before each use.
    res.set_header("Cache-Control", "public, no-cache");
    res.set_header("Accept-Ranges", "bytes");
    if (NotModified(req.get_header_value("If-None-Match"), req.get_header_value("If-Modified-Since"), etag,
                    info.st_mtim.tv_sec)) {
        res.status = 304;
        return;
    }
    const ByteRange range = RequestedRange(req.get_header_value("Range"), req.get_header_value("If-Range"),
                                           size, etag, info.st_mtim.tv_sec);
    switch (range.kind) {
        case ByteRange::Kind::Unsatisfiable:
            res.set_header("Content-Range", "bytes */" + std::to_string(size));
            return SendRefusal(res, {416, "Range Not Satisfiable", "The range lies beyond the file's end."});
        case ByteRange::Kind::Part:
            res.status = 206;
            res.set_header("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                std::to_string(range.first + range.length - 1) + "/" +
                                                std::to_string(size));
            return ProvideFrom(res, fd, static_cast<off_t>(range.first), range.length);
        case ByteRange::Kind::Whole:
            // A provider of no bytes would send neither a length nor a body end.
            if (size == 0) return res.set_content("", "application/octet-stream");
            return ProvideFrom(res, fd, 0, size);
    }
}

void HandleHealth(const FileService& files, ListingCache& listings, const ConnectionCounters& counters,
                  httplib::Response& res) {
    struct stat info {};
    const bool readable = ::stat(files.Root().c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
                          ::access(files.Root().c_str(), R_OK | X_OK) == 0;
    res.status = readable ? 200 : 503;
    res.set_header("Cache-Control", "no-store");
    res.set_content(std::string("{\"Status\":\"") + (readable ? "ok" : "folder unavailable") +
                        "\",\"Open\":" + std::to_string(counters.open.load()) +
                        ",\"Queued\":" + std::to_string(counters.queued.load()) +
                        ",\"Busy\":" + std::to_string(counters.busy.load()) +
                        ",\"Rejected\":" + std::to_string(counters.rejected.load()) +
                        ",\"TimedOut\":" + std::to_string(counters.timedOut.load()) +
                        ",\"Walks\":" + std::to_string(listings.Walks()) + "}",
                    kJSON);
}

}  // namespace

void AddRoutes(httplib::Server& server, const FileService& files, ListingCache& listings,
               const ConnectionCounters& counters) {
    server.Get(R"(/(.*/)?folderlist)", [&listings](const httplib::Request& req, httplib::Response& res) {
        HandleList(listings, req, res);
    });
    server.Get(R"(/(.*/)?download)", [&files](const httplib::Request& req, httplib::Response& res) {
        HandleDownload(files, req, res);
    });
    server.Get("/healthz", [&](const httplib::Request&, httplib::Response& res) {
        HandleHealth(files, listings, counters, res);
    });
}

void AddFleetRoutes(httplib::Server& server, fleet::FleetService& fleet) {
    const auto handle = [&fleet](const httplib::Request& req, httplib::Response& res) {
        const size_t mark = req.target.find('?');
        const std::string_view query =
            mark == std::string::npos ? std::string_view() : std::string_view(req.target).substr(mark + 1);
        // The server refuses a body over its payload limit (64 KiB, the batch's own cap) with 413.
        const fleet::Response answer = fleet.Handle({req.method, req.path, query, req.body, false});
        res.status = answer.status;
        for (const auto& [name, value] : answer.headers) res.set_header(name, value);
        res.set_content(answer.body, answer.contentType);
    };
    server.Post(R"(/(.*/)?report)", handle);
    server.Get(R"(/(.*/)?report)", handle);  // 405 with Allow: POST
    server.Get("/painel", handle);
    server.Get("/painel/", handle);
    server.Get("/painel/estacoes.csv", handle);
    server.Get("/metrics", handle);
}

}  // namespace fileservice
