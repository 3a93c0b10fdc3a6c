#include "tools/publish/deflated_object.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "tools/publish/publish_error.h"
#include "tools/publish/unique_fd.h"
#include "update/trust/release_documents.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

constexpr size_t kPiece = 1 << 16;

class Sha256 {
  public:
    Sha256() : context_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
        if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1)
            throw PublishError(ExitStatus::Failed, "Cannot start SHA-256");
    }
    void Update(const void* data, size_t size) { EVP_DigestUpdate(context_.get(), data, size); }
    TSha256 Finish() {
        TSha256 digest{};
        unsigned length = 0;
        if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1 || length != digest.size())
            throw PublishError(ExitStatus::Failed, "Cannot finish SHA-256");
        return digest;
    }

  private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context_;
};

// Reads a file piece by piece; false at its end. Raises naming the file on a read error.
bool ReadPiece(int fd, std::vector<unsigned char>& piece, size_t& got, const fs::path& shownAs) {
    for (;;) {
        const ssize_t n = ::read(fd, piece.data(), piece.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            throw PublishError(ExitStatus::Failed,
                               "Cannot read " + shownAs.string() + ": " + std::strerror(errno));
        got = static_cast<size_t>(n);
        return n > 0;
    }
}

// The largest deflated size that still pays for a plain object of `size` bytes (none: nothing does).
std::optional<uint64_t> MostPaying(uint64_t size) {
    const uint64_t saving = std::max<uint64_t>(size / 20, 512);
    if (size <= saving) return std::nullopt;
    return size - saving;
}

struct Deflater {
    z_stream z{};
    Deflater() {
        if (deflateInit(&z, 9) != Z_OK) throw PublishError(ExitStatus::Failed, "Cannot start deflating");
    }
    ~Deflater() { deflateEnd(&z); }
};

// The deflated bytes of `source`, or nullopt as soon as they grow past `most`.
std::optional<std::string> DeflateUpTo(const fs::path& source, const TSha256& expected, uint64_t most) {
    const UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!in)
        throw PublishError(ExitStatus::Failed,
                           "Cannot read " + source.string() + ": " + std::strerror(errno));
    Deflater deflater;
    Sha256 hash;
    std::string out;
    std::vector<unsigned char> piece(kPiece), buffer(kPiece);
    size_t got = 0;
    bool more = true;
    while (more) {
        more = ReadPiece(in.Get(), piece, got, source);
        hash.Update(piece.data(), got);
        deflater.z.next_in = piece.data();
        deflater.z.avail_in = static_cast<uInt>(got);
        int result = Z_OK;
        do {
            deflater.z.next_out = buffer.data();
            deflater.z.avail_out = static_cast<uInt>(buffer.size());
            result = deflate(&deflater.z, more ? Z_NO_FLUSH : Z_FINISH);
            if (result == Z_STREAM_ERROR)
                throw PublishError(ExitStatus::Failed, "Cannot deflate " + source.string());
            out.append(reinterpret_cast<const char*>(buffer.data()), buffer.size() - deflater.z.avail_out);
            if (out.size() > most) return std::nullopt;
        } while (deflater.z.avail_out == 0 || (!more && result != Z_STREAM_END));
    }
    if (hash.Finish() != expected)
        throw PublishError(ExitStatus::Failed,
                           source.string() +
                               " does not hold the content it was listed with (it changed "
                               "while it was read, or was altered)");
    return out;
}

}  // namespace

bool DeflatingPays(uint64_t size, uint64_t deflated) {
    const std::optional<uint64_t> most = MostPaying(size);
    return most && deflated <= *most;
}

fs::path DeflatedObjectFile(const fs::path& object) {
    return fs::path(object.string() + std::string(kDeflatedObjectSuffix));
}

bool DeflatedObjectHolds(const fs::path& deflated, uint64_t size, const TSha256& sha256) {
    const UniqueFd in(::open(deflated.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    if (!in || ::fstat(in.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    const std::unique_ptr<z_stream, int (*)(z_stream*)> owner(&z, inflateEnd);
    Sha256 hash;
    std::vector<unsigned char> piece(kPiece), buffer(kPiece);
    uint64_t inflated = 0;
    size_t got = 0;
    int result = Z_OK;
    while (result != Z_STREAM_END) {
        try {
            if (!ReadPiece(in.Get(), piece, got, deflated)) return false;  // cut short
        } catch (const PublishError&) {
            return false;
        }
        z.next_in = piece.data();
        z.avail_in = static_cast<uInt>(got);
        do {
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
            result = inflate(&z, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) return false;
            const size_t out = buffer.size() - z.avail_out;
            inflated += out;
            if (inflated > size) return false;
            hash.Update(buffer.data(), out);
        } while (result != Z_STREAM_END && z.avail_out == 0);
        if (result == Z_STREAM_END && z.avail_in > 0) return false;
    }
    if (ReadPiece(in.Get(), piece, got, deflated)) return false;  // data after the stream
    return inflated == size && hash.Finish() == sha256;
}

std::optional<DeflatedCopy> PrepareDeflated(const fs::path& object, const fs::path& source, uint64_t size,
                                            const TSha256& sha256, mode_t mode, bool onlyIfStored) {
    const std::optional<uint64_t> most = MostPaying(size);
    if (!most) return std::nullopt;
    DeflatedCopy copy;
    copy.Object = DeflatedObjectFile(object);
    struct stat present {};
    if (::lstat(copy.Object.c_str(), &present) == 0) {
        if (S_ISREG(present.st_mode) && static_cast<uint64_t>(present.st_size) <= *most &&
            DeflatedObjectHolds(copy.Object, size, sha256)) {
            copy.Size = static_cast<uint64_t>(present.st_size);
            return copy;
        }
        if (!S_ISREG(present.st_mode))
            throw PublishError(ExitStatus::Failed, "The stored object " + copy.Object.string() +
                                                       " is not a file; move it aside and publish again");
        copy.Replaces = true;
    } else if (onlyIfStored) {
        return std::nullopt;
    }
    std::optional<std::string> bytes = DeflateUpTo(source, sha256, *most);
    if (!bytes) return std::nullopt;
    copy.Size = bytes->size();
    copy.Copy.emplace(object.parent_path(), *bytes, mode);
    return copy;
}

}  // namespace publish
