#include "tools/publish/root_draft.h"

#include <sys/stat.h>

#include "tools/publish/durable_file.h"
#include "tools/publish/key_file.h"
#include "tools/publish/publish_error.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

constexpr mode_t kDraftMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;
constexpr char kDocument[] = "root.json";
constexpr char kSignatures[] = "root.sig";
constexpr char kPrevious[] = "previous.json";
constexpr char kPublisherKey[] = "publisher-key.pub";

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

std::string Read(const fs::path& file, size_t most) {
    return ReadRegularFile(file, "root draft file", ExitStatus::Failed, most);
}

}  // namespace

RootDraft ReadRootDraft(const fs::path& draft) {
    RootDraft content;
    try {
        content.Bytes = Read(draft / kDocument, kMostRootDocumentSize);
        content.Root = DecodeRootDocument(content.Bytes);
        if (Exists(draft / kSignatures))
            content.Signatures = DecodeRootSignatures(Read(draft / kSignatures, kMostRootSignaturesSize));
        if (Exists(draft / kPrevious))
            content.Previous = DecodeRootDocument(Read(draft / kPrevious, kMostRootDocumentSize));
        if (Exists(draft / kPublisherKey))
            content.PublisherKey = DecodePublisherKey(Read(draft / kPublisherKey, 4096));
    } catch (const TManifestError& e) {
        throw PublishError(ExitStatus::Failed,
                           "The root draft " + draft.string() + " cannot be read: " + e.what());
    }
    return content;
}

void WriteNewRootDraft(const fs::path& draft, const RootDraft& content,
                       const std::optional<std::string>& previousBytes,
                       const std::optional<std::string>& publisherKeyText) {
    std::error_code error;
    if (Exists(draft))
        throw PublishError(ExitStatus::Failed, draft.string() + " exists already; name a new draft");
    if (!fs::create_directory(draft, error))
        throw PublishError(ExitStatus::Failed, "Cannot create " + draft.string() + ": " + error.message());
    try {
        auto write = [&](const char* name, std::string_view bytes) {
            const UniqueFd fd = CreateNewFile(draft / name, kDraftMode);
            WriteAllAndSync(fd.Get(), bytes, draft / name);
        };
        write(kDocument, content.Bytes);
        write(kSignatures, content.SignatureText());
        if (previousBytes) write(kPrevious, *previousBytes);
        if (publisherKeyText) write(kPublisherKey, *publisherKeyText);
        SyncFolder(draft);
    } catch (...) {
        fs::remove_all(draft, error);
        throw;
    }
}

void WriteRootDraftSignatures(const fs::path& draft, const RootDraft& content) {
    StagedFile staged(draft, content.SignatureText(), kDraftMode);
    staged.ReplaceInto(draft / kSignatures);
    SyncFolder(draft);
}

}  // namespace publish
