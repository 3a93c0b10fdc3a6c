#include "tools/fileservice/rendered_listing.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>

namespace fileservice {

namespace {

std::string Hex(const unsigned char* bytes, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 15]);
    }
    return out;
}

std::string ContentTag(const std::string& body) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(body.data(), body.size(), digest, &size, EVP_sha256(), nullptr);
    return "\"" + Hex(digest, std::min(size, 16u)) + "\"";
}

std::string GzipOf(const std::string& text) {
    z_stream stream{};
    // windowBits 15 + 16: a gzip wrapper rather than zlib's.
    if (deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::string out(deflateBound(&stream, text.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return result == Z_STREAM_END ? out : std::string();
}

}  // namespace

RenderedListing::RenderedListing(std::string body, std::time_t lastModified)
    : body_(std::move(body)), etag_(ContentTag(body_)), lastModified_(lastModified) {}

std::string RenderedListing::GzipETag() const { return etag_.substr(0, etag_.size() - 1) + "-gz\""; }

const std::string& RenderedListing::Gzip() const {
    std::call_once(gzipOnce_, [this] { gzip_ = GzipOf(body_); });
    return gzip_;
}

}  // namespace fileservice
