#include "tools/fileservice/routes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "tools/fileservice/front_cache.h"
#include "common/instant.h"
#include "common/json_writer.h"
#include "common/listing_json.h"
#include "common/query_string.h"
#include "tools/fileservice/http_validators.h"
#include "tools/fileservice/file_snapshots.h"
#include "tools/fileservice/served_file.h"

namespace fileservice {

namespace {

constexpr char kJSON[] = "application/json; charset=utf-8";

Response Refuse(const Refusal& refusal, Response answer = {}) {
    answer.status = refusal.status;
    answer.Set("Content-Type", kJSON);
    answer.Set("Cache-Control", "no-store");
    answer.text = ErrorRecordJson(refusal.status, refusal.error, refusal.detail);
    return answer;
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

// The route a path names: its last segment, after any prefix of the launcher's base URL.
std::string_view LastSegment(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view QueryOf(const Request& request) { return ::QueryOf(request.target); }

// Release-control objects are stored under their content's hash and never change.
bool IsObjectName(std::string_view name) {
    constexpr std::string_view kObjects = "aurevia-objects";
    if (name.size() <= kObjects.size() || (name[kObjects.size()] != '\\' && name[kObjects.size()] != '/'))
        return false;
    for (size_t i = 0; i < kObjects.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(name[i])) != kObjects[i]) return false;
    return true;
}

}  // namespace

size_t Routes::BodyLimit(std::string_view method, std::string_view path) {
    return method == "POST" && LastSegment(path) == "report" ? kFleetBatchBytes : 0;
}

Response Routes::Answer(const Request& request) const {
    if (fleet_ && fleet::FleetService::Handles(request.path)) {
        const size_t mark = request.target.find('?');
        const std::string_view query = mark == std::string::npos
                                           ? std::string_view()
                                           : std::string_view(request.target).substr(mark + 1);
        const std::string forwardedFor = request.Header("X-Forwarded-For");
        fleet::Response answer = fleet_->Handle({request.method, request.path, query, request.body, false,
                                                 request.remoteAddress, forwardedFor, request.clientGone});
        Response res;
        res.status = answer.status;
        res.Set("Content-Type", answer.contentType);
        for (auto& [name, value] : answer.headers) res.Set(std::move(name), std::move(value));
        res.text = std::move(answer.body);
        return res;
    }
    const std::string_view route = LastSegment(request.path);
    const bool known = request.path == "/healthz" || route == "folderlist" || route == "download";
    if (!known) return Refuse({404, "Not Found", "There is no such request."});
    if (request.method != "GET" && request.method != "HEAD") {
        Response answer = Refuse({405, "Method Not Allowed", "Only GET and HEAD are answered here."});
        answer.Set("Allow", "GET, HEAD");
        return answer;
    }
    if (request.path == "/healthz") return Health();
    if (route == "folderlist") return List(request);
    return Download(request);
}

Response Routes::List(const Request& req) const {
    std::shared_ptr<const RenderedListing> listing;
    try {
        listing = listings_.Get(req.Param("folder").value_or(""), req.Param("mask").value_or(""),
                                req.HasParam("recursive"));
    } catch (const Refusal& refusal) {
        return Refuse(refusal);
    }
    Response res;
    const bool gzip = AcceptsGzip(req.Header("Accept-Encoding"));
    const std::string etag = gzip ? listing->GzipETag() : listing->ETag();
    res.Set("ETag", etag);
    res.Set("Last-Modified", HttpDateText(Instant{listing->LastModified()}));
    res.Set("Cache-Control", "no-cache");
    res.Set("Vary", "Accept-Encoding");
    if (QueryOf(req) != LauncherListQuery(req.Param("folder").value_or(""), req.Param("mask").value_or(""),
                                          req.HasParam("recursive")))
        res.Set("X-Accel-Expires", "0");
    if (NotModified(req.Header("If-None-Match"), req.Header("If-Modified-Since"), etag,
                    listing->LastModified())) {
        res.status = 304;
        return res;
    }
    res.Set("Content-Type", kJSON);
    if (gzip) res.Set("Content-Encoding", "gzip");
    // The body is shared with the cache: written from there, not copied per request.
    res.shared = gzip ? listing->Gzip() : listing->Body();
    res.keep = listing;
    return res;
}

Response Routes::Download(const Request& req) const {
    // The launcher sends "+" and "&" in a name unencoded: the name is the raw rest of the query.
    const auto raw = RawQueryTail(QueryOf(req), "file");
    if (!raw) return Refuse({400, "Bad Request", "No file parameter given."});
    const std::string name = PercentDecode(*raw);
    std::string listedName;
    OpenedFile opened;
    try {
        // Anything may be renamed in under the name at any moment: opened without waiting, and
        // only a regular file is taken.
        opened = files_.OpenFile(name, &listedName);
    } catch (const Refusal& refusal) {
        return Refuse(refusal);
    }
    if (opened.Refused()) {
        if (opened.error == ENOENT || opened.error == 0)
            return Refuse({404, "Not Found", name + (opened.error ? " does not exist." : " is not a file.")});
        return Refuse({403, "Forbidden", "The file cannot be read."});
    }
    const struct stat& info = opened.info;
    const auto size = static_cast<std::uint64_t>(info.st_size);
    Response res;
    res.File(opened.fd, 0, 0, {size, info.st_mtim, info.st_ctim, static_cast<std::uint64_t>(info.st_nlink)});
    const std::string etag = FileETag(size, info.st_mtim);
    res.Set("ETag", etag);
    res.Set("Last-Modified", HttpDateText(Instant{info.st_mtim.tv_sec}));
    // Any cache may keep a file, but must ask again (a 304 when unchanged) before each use; an
    // object of a release is named by its content's hash and never changes.
    res.Set("Cache-Control", IsObjectName(name) ? "public, max-age=31536000, immutable" : "public, no-cache");
    res.Set("Accept-Ranges", "bytes");
    if (QueryOf(req) != LauncherDownloadQuery(listedName)) res.Set("X-Accel-Expires", "0");
    if (NotModified(req.Header("If-None-Match"), req.Header("If-Modified-Since"), etag,
                    info.st_mtim.tv_sec)) {
        res.status = 304;
        res.File(-1, 0, 0);
        return res;
    }
    const ByteRange range =
        RequestedRange(req.Header("Range"), req.Header("If-Range"), size, etag, info.st_mtim.tv_sec);
    res.Set("Content-Type", "application/octet-stream");
    switch (range.kind) {
        case ByteRange::Kind::Unsatisfiable:
            res.Set("Content-Range", "bytes */" + std::to_string(size));
            res.File(-1, 0, 0);
            return Refuse({416, "Range Not Satisfiable", "The range lies beyond the file's end."},
                          std::move(res));
        case ByteRange::Kind::Part:
            res.status = 206;
            res.Set("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                         std::to_string(range.first + range.length - 1) + "/" +
                                         std::to_string(size));
            res.offset = range.first;
            res.length = range.length;
            break;
        case ByteRange::Kind::Whole:
            res.length = size;
            break;
    }
    if (IsObjectName(name)) {
        res.immutable = true;
    } else if (snapshots_ && req.method != "HEAD") {
        if (auto snapshot = snapshots_->Get(res.fd, info)) {
            res.File(-1, res.offset, res.length);
            res.snapshot = std::move(snapshot);
        }
    }
    return res;
}

Response Routes::Health() const {
    struct stat info {};
    const bool readable = ::stat(files_.Root().c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
                          ::access(files_.Root().c_str(), R_OK | X_OK) == 0;
    const ListingHealth listing = listings_.Health();
    Response res;
    res.status = readable && listing.walkOk ? 200 : 503;
    res.Set("Content-Type", kJSON);
    res.Set("Cache-Control", "no-store");
    std::string& body = res.text;
    body = "{\"Status\":";
    AppendJsonString(body, !readable ? "folder unavailable" : !listing.walkOk ? "walk failing" : "ok");
    if (!listing.walkOk) {
        // The listings in service are those of the last walk that succeeded.
        body += ",\"Reason\":";
        AppendJsonString(body, listing.reason);
        body += ",\"FailingSince\":";
        AppendJsonString(body, HttpDateText(Instant{listing.failingSince}));
    }
    std::vector<std::string> warnings = listing.warnings;
    if (fleet_) {
        // The reports never decide the status: an instance that cannot store them still serves files.
        const fleet::FleetService::Health reports = fleet_->State();
        body += ",\"Reports\":";
        AppendJsonString(body, reports.stored ? "stored" : "not stored");
        if (!reports.stored) {
            body += ",\"ReportsReason\":";
            AppendJsonString(body, reports.reason);
        }
        warnings.insert(warnings.end(), reports.warnings.begin(), reports.warnings.end());
    }
    body += ",\"Warnings\":[";
    for (size_t i = 0; i < warnings.size(); ++i) {
        if (i) body += ",";
        AppendJsonString(body, warnings[i]);
    }
    body += "],\"Open\":" + std::to_string(counters_.open.load()) +
            ",\"Busy\":" + std::to_string(counters_.busy.load()) +
            ",\"Rejected\":" + std::to_string(counters_.rejected.load()) +
            ",\"TimedOut\":" + std::to_string(counters_.timedOut.load()) +
            ",\"Slow\":" + std::to_string(counters_.slow.load()) +
            ",\"Malformed\":" + std::to_string(counters_.malformed.load()) +
            ",\"Rewritten\":" + std::to_string(counters_.rewritten.load()) +
            ",\"Walks\":" + std::to_string(listings_.Walks()) +
            ",\"SnapshotBytes\":" + std::to_string(snapshots_ ? snapshots_->Bytes() : 0) + "}";
    return res;
}

}  // namespace fileservice
