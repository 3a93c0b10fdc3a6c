// aurevia-publish root draft|sign|publish|status: the trust root's versions. The root keys never
// need to be on the release machine: `draft` and `publish` read and write the server, `sign` runs on
// each machine that holds a root key and touches only the draft folder.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>

#include "common/instant.h"
#include "tools/publish/commands.h"
#include "tools/publish/durable_file.h"
#include "tools/publish/key_file.h"
#include "tools/publish/leftover_sweep.h"
#include "tools/publish/publisher_key.h"
#include "tools/publish/root_chain.h"
#include "tools/publish/root_draft.h"
#include "tools/publish/root_signature_check.h"
#include "tools/publish/signed_document.h"
#include "update/trust/document_text.h"

namespace fs = std::filesystem;

namespace publish {

namespace {

constexpr int64_t kSecondsPerDay = 86'400;
constexpr uint64_t kMostValidDays = 36'500;

[[noreturn]] void UsageError(const std::string& message) {
    throw PublishError(ExitStatus::Usage, message + " (aurevia-publish --help for usage)");
}

uint64_t Number(const std::string& name, std::string_view text, uint64_t least, uint64_t most) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < least ||
        value > most)
        UsageError("Option " + name + " wants a whole number from " + std::to_string(least) + " to " +
                   std::to_string(most) + ", not " + std::string(text));
    return value;
}

TKeyId KeyIdFrom(std::string_view text) {
    if (text.size() != 64 || document_text::AsciiLowered(text) != text)
        UsageError("A key id is 64 lowercase hex digits, not " + std::string(text));
    try {
        return document_text::Sha256From(text);
    } catch (const TManifestError&) {
        UsageError("A key id is 64 lowercase hex digits, not " + std::string(text));
    }
}

struct NewSigningKey {
    std::string Key;
    std::string Roles;
    uint64_t ValidDays = 180;
};

struct DraftOptions {
    fs::path server, out;
    std::vector<std::string> addRootKeys;
    std::vector<std::string> removeRootKeys, revoke;
    std::vector<NewSigningKey> addKeys;
    std::optional<unsigned> threshold;
    uint64_t validDays = 365;
    bool newEpoch = false;
    std::optional<uint64_t> serialFloor;
    std::optional<std::string> product, migrateFrom;
};

// The options in order: --roles and --key-valid-days belong to the --add-key before them.
DraftOptions ParseDraft(const std::vector<std::string_view>& arguments) {
    DraftOptions options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string name(arguments[i]);
        if (name == "--new-epoch") {
            options.newEpoch = true;
            continue;
        }
        if (i + 1 >= arguments.size()) UsageError("Option " + name + " needs a value");
        const std::string value(arguments[++i]);
        if (name == "--to")
            options.server = value;
        else if (name == "--out")
            options.out = value;
        else if (name == "--add-root-key")
            options.addRootKeys.push_back(value);
        else if (name == "--remove-root-key")
            options.removeRootKeys.push_back(value);
        else if (name == "--revoke")
            options.revoke.push_back(value);
        else if (name == "--add-key")
            options.addKeys.push_back({value, "", 180});
        else if (name == "--roles" || name == "--key-valid-days") {
            if (options.addKeys.empty()) UsageError("Option " + name + " follows an --add-key");
            if (name == "--roles")
                options.addKeys.back().Roles = value;
            else
                options.addKeys.back().ValidDays = Number(name, value, 1, kMostValidDays);
        } else if (name == "--threshold")
            options.threshold = static_cast<unsigned>(Number(name, value, 1, kMostRootKeys));
        else if (name == "--valid-days")
            options.validDays = Number(name, value, 1, kMostValidDays);
        else if (name == "--serial-floor")
            options.serialFloor = Number(name, value, 0, UINT64_MAX);
        else if (name == "--product")
            options.product = value;
        else if (name == "--migrate-from")
            options.migrateFrom = value;
        else
            UsageError("Unknown option " + name);
    }
    if (options.server.empty()) UsageError("Option --to is required");
    if (options.out.empty()) UsageError("Option --out is required");
    if (options.serialFloor && !options.newEpoch) UsageError("Option --serial-floor goes with --new-epoch");
    for (const auto& key : options.addKeys) {
        if (key.Roles.empty())
            UsageError("--add-key " + key.Key + " needs --roles manifest, rollout or both");
    }
    return options;
}

uint8_t RolesFrom(const std::string& text) {
    uint8_t roles = 0;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const uint8_t bit = RoleBitOf(std::string_view(text).substr(start, comma - start));
        if (bit == 0) UsageError("--roles takes manifest, rollout or manifest,rollout, not " + text);
        roles |= bit;
        start = comma + 1;
    }
    return roles;
}

TPublicPoint PointOfPublic(const std::string& fileOrText) {
    return PublicPointOf(ReadPublicKey(fileOrText).get());
}

std::string Hex(const TKeyId& id) { return document_text::HexOf(id); }

std::string Utc(int64_t unix) { return UtcText(Instant{unix}); }

std::string RaizOf(std::string_view bytes) { return Hex(OpenSslSignatureCheck().Sha256(bytes)); }

template <class TKey>
void Remove(std::vector<TKey>& keys, const TKeyId& id, const char* what) {
    const auto found = std::find_if(keys.begin(), keys.end(), [&](const TKey& key) { return key.Id == id; });
    if (found == keys.end())
        throw PublishError(ExitStatus::NotCertified,
                           std::string("The root names no ") + what + " " + Hex(id));
    keys.erase(found);
}

void RunRootDraft(const DraftOptions& options) {
    std::error_code error;
    if (!fs::is_directory(options.server, error))
        throw PublishError(ExitStatus::NoFolder,
                           "No folder " + options.server.string() + " to draft a root for");
    const std::vector<RootVersion> chain = ReadRootChain(options.server);
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const OpenSslSignatureCheck check;
    RootDraft draft;
    TRootDocument& root = draft.Root;
    if (chain.empty()) {
        if (!options.product) UsageError("The first root version needs --product NAME");
        root.Product = *options.product;
        root.Version = 1;
        root.Epoch = 0;
    } else {
        if (options.product && *options.product != chain.back().Root.Product)
            UsageError("The product of a root does not change (it is " + chain.back().Root.Product + ")");
        if (options.migrateFrom) UsageError("--migrate-from is for the first root version only");
        root = chain.back().Root;
        ++root.Version;
    }
    root.ExpiresUnix = now + static_cast<int64_t>(options.validDays) * kSecondsPerDay;
    if (options.newEpoch) {
        ++root.Epoch;
        root.SerialFloor = options.serialFloor.value_or(0);
    }
    for (const auto& id : options.removeRootKeys) Remove(root.RootKeys, KeyIdFrom(id), "root key");
    for (const auto& id : options.revoke) Remove(root.SigningKeys, KeyIdFrom(id), "signing key");
    for (const auto& text : options.addRootKeys) {
        const TPublicPoint point = PointOfPublic(text);
        root.RootKeys.push_back({KeyIdOf(check, point), point});
        std::printf("Root key %s added\n", Hex(root.RootKeys.back().Id).c_str());
    }
    for (const auto& key : options.addKeys) {
        const TPublicPoint point = PointOfPublic(key.Key);
        const TKeyId id = KeyIdOf(check, point);
        // Certifying a present key again renews its window and roles.
        root.SigningKeys.erase(std::remove_if(root.SigningKeys.begin(), root.SigningKeys.end(),
                                              [&](const TSigningKey& present) { return present.Id == id; }),
                               root.SigningKeys.end());
        root.SigningKeys.push_back({id, point, RolesFrom(key.Roles), now,
                                    now + static_cast<int64_t>(key.ValidDays) * kSecondsPerDay});
        std::printf("Signing key %s certified for %s until %s\n", Hex(id).c_str(), key.Roles.c_str(),
                    Utc(root.SigningKeys.back().NotAfterUnix).c_str());
    }
    if (options.threshold) root.Threshold = *options.threshold;
    try {
        draft.Bytes = EncodeRootDocument(root);
        DecodeRootDocument(draft.Bytes);
    } catch (const TManifestError& e) {
        throw PublishError(ExitStatus::Failed, std::string("The root cannot be drafted: ") + e.what());
    }
    std::optional<std::string> previous, publisherKey;
    if (!chain.empty()) previous = chain.back().Bytes;
    if (options.migrateFrom) publisherKey = EncodePublisherKey(PointOfPublic(*options.migrateFrom));
    WriteNewRootDraft(options.out, draft, previous, publisherKey);
    std::printf("Root version %llu drafted in %s; signatures needed: %u of its root keys",
                static_cast<unsigned long long>(root.Version), options.out.c_str(), root.Threshold);
    if (!chain.empty())
        std::printf(" and %u of version %llu's", chain.back().Root.Threshold,
                    static_cast<unsigned long long>(chain.back().Root.Version));
    if (publisherKey) std::printf(" and the publisher key's");
    std::printf("\n");
}

void RefuseExpired(const RootDraft& draft, const fs::path& path) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    if (now > draft.Root.ExpiresUnix)
        throw PublishError(ExitStatus::Expired, "The root draft " + path.string() + " expired at " +
                                                    Utc(draft.Root.ExpiresUnix) + "; draft it again");
}

void RunRootSign(const fs::path& draftPath, const fs::path& keyFile) {
    RootDraft draft = ReadRootDraft(draftPath);
    RefuseExpired(draft, draftPath);
    const Key key = ReadPrivateKey(keyFile);
    const OpenSslSignatureCheck check;
    const TPublicPoint point = PublicPointOf(key.get());
    const TKeyId id = KeyIdOf(check, point);
    auto listed = [&](const std::vector<TRootKey>& keys) {
        return std::any_of(keys.begin(), keys.end(), [&](const TRootKey& k) { return k.Id == id; });
    };
    const bool may = listed(draft.Root.RootKeys) || (draft.Previous && listed(draft.Previous->RootKeys)) ||
                     (draft.PublisherKey && *draft.PublisherKey == point);
    if (!may)
        throw PublishError(
            ExitStatus::NotCertified,
            "The key " + Hex(id) + " is not a root key of this draft or of the version before it");
    const RawSignature raw = Sign(key.get(), draft.Bytes);
    const std::string signature(reinterpret_cast<const char*>(raw.data()), raw.size());
    if (!check.Verifies(point, draft.Bytes, signature))
        throw PublishError(ExitStatus::Failed, "The new signature does not verify; the draft is unchanged");
    // One line per key: signing again replaces the key's line.
    draft.Signatures.erase(std::remove_if(draft.Signatures.begin(), draft.Signatures.end(),
                                          [&](const TRootSignature& s) { return s.KeyId == id; }),
                           draft.Signatures.end());
    draft.Signatures.push_back({id, signature});
    WriteRootDraftSignatures(draftPath, draft);
    std::printf("Root version %llu signed by %s (%zu signatures)\n",
                static_cast<unsigned long long>(draft.Root.Version), Hex(id).c_str(),
                draft.Signatures.size());
}

void RunRootPublish(const fs::path& draftPath, const fs::path& server) {
    std::error_code error;
    if (!fs::is_directory(server, error))
        throw PublishError(ExitStatus::NoFolder, "No folder " + server.string() + " to publish a root into");
    const RootDraft draft = ReadRootDraft(draftPath);
    RefuseExpired(draft, draftPath);
    const UniqueFd lock = LockFolder(server);
    SweepLeftovers(server);
    const std::vector<RootVersion> chain = ReadRootChain(server);
    const OpenSslSignatureCheck check;
    const TRootVersionBytes bytes{draft.Bytes, draft.SignatureText()};
    TRootJudged judged;
    if (!chain.empty()) {
        judged = JudgeNextRoot(check, chain.back().Root, bytes);
    } else if (draft.Root.Version != 1) {
        judged.Refusal = TRootRefusal::SkippedVersion;
        judged.Detail = "the server has no root; the first version is 1";
    } else if (draft.PublisherKey) {
        judged = JudgeRootSignedByKey(check, *draft.PublisherKey, bytes);
    } else {
        judged = JudgeAnchoredRoot(check, check.Sha256(draft.Bytes), bytes);
    }
    if (!judged.Accepted())
        throw PublishError(ExitStatus::RootRefused, std::string("The root draft is refused: ") +
                                                        RootRefusalText(judged.Refusal) + " (" +
                                                        judged.Detail + ")");

    const fs::path folder = server / kRootFolderName;
    const bool made = !fs::is_directory(folder, error);
    if (made && !fs::create_directory(folder, error))
        throw PublishError(ExitStatus::Failed, "Cannot create " + folder.string() + ": " + error.message());
    try {
        CreateSignedDocument(server, SignedDocument{RootDocumentPath(draft.Root.Version),
                                                    RootSignaturesPath(draft.Root.Version), draft.Bytes,
                                                    draft.SignatureText()});
        SyncFolder(folder);
        SyncFolder(server);
    } catch (...) {
        if (made) fs::remove_all(folder, error);
        throw;
    }
    std::printf("Published root version %llu (expires %s)\nRaiz=%s\n",
                static_cast<unsigned long long>(draft.Root.Version), Utc(draft.Root.ExpiresUnix).c_str(),
                RaizOf(draft.Bytes).c_str());
}

void PrintVersion(const RootVersion& version, const TRootDocument* previous, bool inForce, int64_t now) {
    const TRootDocument& root = version.Root;
    const OpenSslSignatureCheck check;
    std::printf("Root version %llu%s: product %s, expires %s%s, serial epoch %llu (floor %llu)\n",
                static_cast<unsigned long long>(root.Version), inForce ? " (in force)" : "",
                root.Product.c_str(), Utc(root.ExpiresUnix).c_str(),
                now > root.ExpiresUnix ? " (EXPIRED)" : "", static_cast<unsigned long long>(root.Epoch),
                static_cast<unsigned long long>(root.SerialFloor));
    std::printf("  Raiz=%s\n", RaizOf(version.Bytes).c_str());
    auto signedBy = [&](const TRootKey& key) {
        return std::any_of(
            version.Signatures.begin(), version.Signatures.end(), [&](const TRootSignature& s) {
                return s.KeyId == key.Id && check.Verifies(key.Point, version.Bytes, s.Signature);
            });
    };
    std::printf("  root keys (threshold %u):\n", root.Threshold);
    for (const TRootKey& key : root.RootKeys)
        std::printf("    %s%s\n", Hex(key.Id).c_str(), signedBy(key) ? "  signed" : "");
    if (previous) {
        std::printf("  signed by root keys of version %llu:",
                    static_cast<unsigned long long>(previous->Version));
        for (const TRootKey& key : previous->RootKeys)
            if (signedBy(key)) std::printf(" %s", Hex(key.Id).c_str());
        std::printf("\n");
    }
    std::printf("  signing keys:%s\n", root.SigningKeys.empty() ? " none" : "");
    for (const TSigningKey& key : root.SigningKeys)
        std::printf("    %s  %s  %s to %s%s\n", Hex(key.Id).c_str(), RoleNames(key.Roles).c_str(),
                    Utc(key.NotBeforeUnix).c_str(), Utc(key.NotAfterUnix).c_str(),
                    now > key.NotAfterUnix ? " (past)" : (now < key.NotBeforeUnix ? " (not yet)" : ""));
}

void RunRootStatus(const fs::path& server) {
    std::error_code error;
    if (!fs::is_directory(server, error))
        throw PublishError(ExitStatus::NoFolder, "No folder " + server.string());
    const std::vector<RootVersion> chain = ReadRootChain(server);
    if (chain.empty()) {
        std::printf("No root on %s: documents are checked with the one publisher key\n", server.c_str());
        return;
    }
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    for (size_t i = 0; i < chain.size(); ++i)
        PrintVersion(chain[i], i > 0 ? &chain[i - 1].Root : nullptr, i + 1 == chain.size(), now);
    const std::optional<std::string> deployment = KeptDeployment(server);
    if (deployment)
        std::printf("Deployment of this server folder: %s (Implantacao=%s)\n", deployment->c_str(),
                    deployment->c_str());
    else
        std::printf(
            "Deployment of this server folder: none yet (set by the first sign, publish or rollout)\n");
}

std::string Value(const std::vector<std::string_view>& arguments, std::string_view name,
                  const std::vector<std::string_view>& allowed) {
    std::optional<std::string> value;
    for (size_t i = 0; i < arguments.size(); i += 2) {
        if (std::find(allowed.begin(), allowed.end(), arguments[i]) == allowed.end())
            UsageError("Unknown option " + std::string(arguments[i]));
        if (i + 1 >= arguments.size()) UsageError("Option " + std::string(arguments[i]) + " needs a value");
        if (arguments[i] != name) continue;
        if (value) UsageError("Option " + std::string(name) + " is given twice");
        value = std::string(arguments[i + 1]);
    }
    if (!value || value->empty()) UsageError("Option " + std::string(name) + " is required");
    return *value;
}

}  // namespace

void RunRoot(const std::vector<std::string_view>& arguments) {
    if (arguments.empty()) UsageError("root needs draft, sign, publish or status");
    const std::string_view command = arguments.front();
    const std::vector<std::string_view> rest(arguments.begin() + 1, arguments.end());
    if (command == "draft") return RunRootDraft(ParseDraft(rest));
    if (command == "sign")
        return RunRootSign(Value(rest, "--draft", {"--draft", "--key"}),
                           Value(rest, "--key", {"--draft", "--key"}));
    if (command == "publish")
        return RunRootPublish(Value(rest, "--draft", {"--draft", "--to"}),
                              Value(rest, "--to", {"--draft", "--to"}));
    if (command == "status") return RunRootStatus(Value(rest, "--to", {"--to"}));
    UsageError("Unknown root command " + std::string(command));
}

}  // namespace publish
