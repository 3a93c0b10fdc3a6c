#pragma once
// A listing as the service sends it: the JSON body, its strong entity tag and its gzip form.
#include <ctime>
#include <mutex>
#include <string>

namespace fileservice {

// One rendered listing; immutable once published, shared with the requests that send it.
class RenderedListing {
  public:
    RenderedListing(std::string body, std::time_t lastModified);
    const std::string& Body() const { return body_; }
    const std::string& ETag() const { return etag_; }  // strong, from the body: equal on every instance
    std::string GzipETag() const;                      // the gzip form's own tag
    std::time_t LastModified() const { return lastModified_; }
    const std::string& Gzip() const;  // compressed on first use

  private:
    std::string body_, etag_;
    std::time_t lastModified_;
    mutable std::once_flag gzipOnce_;
    mutable std::string gzip_;
};

}  // namespace fileservice
