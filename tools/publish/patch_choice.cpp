#include "tools/publish/patch_choice.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>

#include "common/binary_patch.h"
#include "tools/publish/durable_file.h"
#include "tools/publish/patch_maker.h"
#include "tools/publish/publish_error.h"
#include "tools/publish/server_store.h"
#include "update/trust/document_text.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

bool SameName(const std::string& a, const std::string& b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

void AddSource(std::vector<TSha256>& sources, const TRelease& release, const std::string& name,
               const TSha256& newSha256) {
    for (const auto& file : release.Files) {
        if (!SameName(file.Name, name) || file.Sha256 == newSha256 || file.Size > kMostPatchedFileSize)
            continue;
        if (std::find(sources.begin(), sources.end(), file.Sha256) == sources.end() &&
            sources.size() < kMostPatchesPerFile)
            sources.push_back(file.Sha256);
    }
}

TSha256 Sha256Of(const std::string& bytes) {
    TSha256 digest{};
    unsigned length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size())
        throw PublishError(ExitStatus::Failed, "Cannot hash a patch");
    return digest;
}

uint64_t DeflatedSize(const std::string& bytes) {
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(bytes.data()),
                  static_cast<uLong>(bytes.size()), Z_BEST_COMPRESSION) != Z_OK)
        throw PublishError(ExitStatus::Failed, "Cannot deflate a file to weigh its patches");
    return size;
}

// A patch an earlier release lists from `from` to this content, when its object is there whole.
std::optional<TFilePatch> Listed(const fs::path& server, const TSha256& from, const TSha256& to,
                                 const std::map<uint64_t, TRelease>& releases) {
    for (auto it = releases.rbegin(); it != releases.rend(); ++it)
        for (const auto& file : it->second.Files) {
            if (file.Sha256 != to) continue;
            for (const auto& patch : file.Patches)
                if (patch.From == from &&
                    ObjectHolds(ObjectFile(server, patch.Sha256), patch.Size, patch.Sha256))
                    return patch;
        }
    return std::nullopt;
}

}  // namespace

std::vector<TSha256> PatchSources(const std::string& name, const TSha256& newSha256,
                                  const std::map<uint64_t, TRelease>& releases,
                                  const std::vector<uint64_t>& ringReleases, unsigned depth) {
    std::vector<TSha256> sources;
    for (const uint64_t serial : ringReleases) {
        const auto found = releases.find(serial);
        if (found != releases.end()) AddSource(sources, found->second, name, newSha256);
    }
    unsigned taken = 0;
    for (auto it = releases.rbegin(); it != releases.rend() && taken < depth; ++it, ++taken)
        AddSource(sources, it->second, name, newSha256);
    return sources;
}

std::vector<MadePatch> MakePatches(const fs::path& server, const std::string& newContent,
                                   const TSha256& newSha256, const std::vector<TSha256>& sources,
                                   const std::map<uint64_t, TRelease>& releases,
                                   const PatchOptions& options) {
    std::vector<MadePatch> made;
    if (sources.empty() || options.ratio <= 0 || newContent.size() > kMostPatchedFileSize) return made;
    if (Sha256Of(newContent) != newSha256)
        throw PublishError(ExitStatus::Failed, "A file changed while it was published; publish again");
    const double most = options.ratio * static_cast<double>(DeflatedSize(newContent));
    for (const auto& from : sources) {
        if (const auto listed = Listed(server, from, newSha256, releases)) {
            if (static_cast<double>(listed->Size) < most) made.push_back({*listed, {}});
            continue;
        }
        const fs::path object = ObjectFile(server, from);
        const std::optional<std::string> old = ReadWholeFile(object);
        if (!old || old->size() > kMostPatchedFileSize || Sha256Of(*old) != from) {
            std::fprintf(stderr,
                         "aurevia-publish: warning: no patch from %s: its object is missing or damaged\n",
                         object.c_str());
            continue;
        }
        std::string bytes = MakeBinaryPatch(*old, newContent);
        if (static_cast<double>(bytes.size()) >= most) continue;
        // What a workstation will do with it, done once here: a patch that does not make the new
        // content exactly is a fault of this tool, and is never published.
        if (ApplyBinaryPatch(*old, bytes, newContent.size()) != newContent)
            throw PublishError(ExitStatus::Failed,
                               "A patch made from " + object.string() + " does not make the file");
        const TFilePatch entry{from, Sha256Of(bytes), bytes.size()};
        made.push_back({entry, std::move(bytes)});
    }
    return made;
}

std::vector<MadePatch> AttachPatches(const fs::path& server, EVP_PKEY* publicKey, TRelease& release,
                                     const std::vector<fs::path>& contents, const PatchOptions& options) {
    std::vector<MadePatch> toStore;
    if (options.ratio <= 0) return toStore;
    std::map<uint64_t, TRelease> releases;
    for (const uint64_t serial : ReleaseSerials(server)) {
        try {
            releases.emplace(serial, ReadRelease(server, serial, publicKey));
        } catch (const PublishError&) {
            // A release this key did not sign names nothing a workstation of this key holds.
        }
    }
    std::vector<uint64_t> ringReleases;
    try {
        ringReleases = ReferencedReleases(ReadRollout(server, publicKey));
    } catch (const PublishError& e) {
        std::fprintf(stderr, "aurevia-publish: warning: patches only from the last releases: %s\n", e.what());
    }
    for (size_t i = 0; i < release.Files.size() && i < contents.size(); ++i) {
        TReleaseFile& file = release.Files[i];
        const std::vector<TSha256> sources =
            PatchSources(file.Name, file.Sha256, releases, ringReleases, options.depth);
        if (sources.empty() || file.Size > kMostPatchedFileSize) continue;
        const std::optional<std::string> content = ReadWholeFile(contents[i]);
        if (!content) throw PublishError(ExitStatus::Failed, "Cannot read " + contents[i].string());
        for (auto& made : MakePatches(server, *content, file.Sha256, sources, releases, options)) {
            file.Patches.push_back(made.Entry);
            if (!made.Bytes.empty()) toStore.push_back(std::move(made));
        }
    }
    return toStore;
}

}  // namespace publish
