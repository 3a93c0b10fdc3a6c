// The documents are small (one entry per file or ring) and read whole into RapidJSON's DOM with the
// iterative parser, so that deep nesting in an unknown member cannot exhaust the stack; the pool
// allocator frees the tree without recursion.
#include "update/trust/release_documents.h"

#include "update/trust/document_json.h"
#include "update/trust/document_text.h"

using document_text::Fail;

namespace {

using document_json::MemberOf;
using document_json::TextOf;
using document_json::UnsignedOf;
using document_json::Value;

uint64_t SerialOf(const Value& value, std::string_view name) {
    const uint64_t serial = UnsignedOf(value, name);
    if (serial == 0) Fail("\"" + std::string(name) + "\" is 0; release serials start at 1");
    return serial;
}

void CheckFormat(const Value& root, std::string_view format, const std::string& what) {
    const Value& value = *MemberOf(root, "format", "The " + what, true);
    if (!value.IsString() || TextOf(value, "format") != format)
        Fail("The " + what + "'s format is not " + std::string(format));
}

const Value& ArrayMember(const Value& root, std::string_view name, const std::string& what) {
    const Value& value = *MemberOf(root, name, what, true);
    if (!value.IsArray()) Fail("\"" + std::string(name) + "\" is not an array");
    return value;
}

void CheckPatches(const TReleaseFile& file) {
    const std::string whose = "The patches of " + document_text::Shown(file.Name);
    if (file.Patches.size() > kMostPatchesPerFile)
        Fail(whose + " are more than " + std::to_string(kMostPatchesPerFile));
    for (size_t i = 0; i < file.Patches.size(); ++i) {
        if (file.Patches[i].From == file.Sha256) Fail(whose + " include one from the file itself");
        if (file.Patches[i].Size == 0) Fail(whose + " include an empty one");
        for (size_t j = 0; j < i; ++j)
            if (file.Patches[j].From == file.Patches[i].From) Fail(whose + " start twice from one version");
    }
}

void CheckRelease(const TRelease& release) {
    if (release.Serial == 0) Fail("\"serial\" is 0; release serials start at 1");
    std::vector<std::string_view> names;
    names.reserve(release.Files.size());
    for (const auto& file : release.Files) {
        document_text::CheckWindowsName(file.Name);
        if (file.DeflatedSize == 0u) Fail("\"stored_size\" is 0; no deflated stream is empty");
        CheckPatches(file);
        names.push_back(file.Name);
    }
    document_text::CheckNamesAreDistinct(names);
}

void CheckRing(const TRingAssignment& ring) {
    if (!IsValidRingName(ring.Ring))
        Fail("Ring name " + document_text::Shown(ring.Ring) +
             " is not 1 to 32 characters of a-z, 0-9, _ and -");
    if (ring.Release == 0) Fail("Ring \"" + ring.Ring + "\" takes release 0; release serials start at 1");
    if (ring.Previous && *ring.Previous == 0)
        Fail("Ring \"" + ring.Ring + "\" had release 0; release serials start at 1");
    if (ring.Percent > 100) Fail("Ring \"" + ring.Ring + "\" has a percent above 100");
    if (ring.Percent < 100 && !ring.Previous)
        Fail("Ring \"" + ring.Ring + "\" has a percent below 100 but no previous release for the rest");
    if (ring.Staged && *ring.Staged == 0)
        Fail("Ring \"" + ring.Ring + "\" stages release 0; release serials start at 1");
    if (ring.StagedSha256 && !ring.Staged)
        Fail("Ring \"" + ring.Ring + "\" has \"staged_sha256\" but no \"staged\" release");
    if (ring.PreviousSha256 && !ring.Previous)
        Fail("Ring \"" + ring.Ring + "\" pins a previous release but names none");
}

std::optional<TSha256> PinOf(const Value& element, std::string_view name, const std::string& where) {
    const Value* pin = MemberOf(element, name, where, false);
    if (!pin) return std::nullopt;
    const std::string_view hex = TextOf(*pin, name);
    try {
        return document_text::Sha256From(hex);
    } catch (const TManifestError&) {
        Fail("\"" + std::string(name) + "\" is not 64 hex digits: " + std::string(hex));
    }
}

void CheckRollout(const TRollout& rollout) {
    for (size_t i = 0; i < rollout.Rings.size(); ++i) {
        CheckRing(rollout.Rings[i]);
        for (size_t j = 0; j < i; ++j) {
            if (rollout.Rings[j].Ring == rollout.Rings[i].Ring)
                Fail("Ring \"" + rollout.Rings[i].Ring + "\" is given twice");
        }
    }
}

using TWriter = document_json::TJsonWriter;

}  // namespace

TRelease DecodeRelease(std::string_view bytes) {
    const std::string what = "release";
    const rapidjson::Document root = document_json::ParsedObject(bytes, what);
    CheckFormat(root, kReleaseFormat, what);
    TRelease release;
    release.Serial = SerialOf(*MemberOf(root, "serial", "The release", true), "serial");
    release.CreatedUnix = document_text::UnixSecondsFrom(
        "created", TextOf(*MemberOf(root, "created", "The release", true), "created"));
    if (const Value* note = MemberOf(root, "note", "The release", false))
        release.Note = TextOf(*note, "note");
    document_json::ReadSignerNames(root, "The release", release);
    const Value& files = ArrayMember(root, "files", "The release");
    release.Files.reserve(files.Size());
    for (const Value& element : files.GetArray()) {
        if (!element.IsObject()) Fail("An element of \"files\" is not an object");
        const std::string where = "An element of \"files\"";
        TReleaseFile file;
        file.Name = TextOf(*MemberOf(element, "name", where, true), "name");
        file.Size = UnsignedOf(*MemberOf(element, "size", where, true), "size");
        file.Sha256 = document_text::Sha256From(TextOf(*MemberOf(element, "sha256", where, true), "sha256"));
        file.AgeUnix =
            document_text::UnixSecondsFrom("age", TextOf(*MemberOf(element, "age", where, true), "age"));
        // A stored form this reader does not know leaves the plain object, which is always there.
        const Value* stored = MemberOf(element, "stored", where, false);
        if (stored && TextOf(*stored, "stored") == kStoredDeflate) {
            file.DeflatedSize = UnsignedOf(*MemberOf(element, "stored_size", where, true), "stored_size");
            if (*file.DeflatedSize == 0) Fail("\"stored_size\" is 0; no deflated stream is empty");
        }
        if (const Value* patches = MemberOf(element, "patches", where, false)) {
            if (!patches->IsArray()) Fail("\"patches\" is not an array");
            if (patches->Size() > kMostPatchesPerFile)
                Fail("\"patches\" holds more than " + std::to_string(kMostPatchesPerFile) + " patches");
            for (const Value& listed : patches->GetArray()) {
                if (!listed.IsObject()) Fail("An element of \"patches\" is not an object");
                const std::string patchWhere = "An element of \"patches\"";
                TFilePatch patch;
                patch.From =
                    document_text::Sha256From(TextOf(*MemberOf(listed, "from", patchWhere, true), "from"));
                patch.Sha256 = document_text::Sha256From(
                    TextOf(*MemberOf(listed, "sha256", patchWhere, true), "sha256"));
                patch.Size = UnsignedOf(*MemberOf(listed, "size", patchWhere, true), "size");
                file.Patches.push_back(patch);
            }
        }
        document_text::CheckWindowsName(file.Name);
        release.Files.push_back(std::move(file));
    }
    CheckRelease(release);
    return release;
}

TRollout DecodeRollout(std::string_view bytes) {
    const std::string what = "rollout document";
    const rapidjson::Document root = document_json::ParsedObject(bytes, what);
    CheckFormat(root, kRolloutFormat, what);
    TRollout rollout;
    rollout.Serial = UnsignedOf(*MemberOf(root, "serial", "The rollout document", true), "serial");
    rollout.ExpiresUnix = document_text::UnixSecondsFrom(
        "expires", TextOf(*MemberOf(root, "expires", "The rollout document", true), "expires"));
    document_json::ReadSignerNames(root, "The rollout document", rollout);
    const Value& rings = ArrayMember(root, "rings", "The rollout document");
    rollout.Rings.reserve(rings.Size());
    for (const Value& element : rings.GetArray()) {
        if (!element.IsObject()) Fail("An element of \"rings\" is not an object");
        const std::string where = "An element of \"rings\"";
        TRingAssignment ring;
        ring.Ring = TextOf(*MemberOf(element, "ring", where, true), "ring");
        ring.Release = UnsignedOf(*MemberOf(element, "release", where, true), "release");
        if (const Value* previous = MemberOf(element, "previous", where, false))
            ring.Previous = UnsignedOf(*previous, "previous");
        const uint64_t percent = UnsignedOf(*MemberOf(element, "percent", where, true), "percent");
        if (percent > 100) Fail("\"percent\" is above 100: " + std::to_string(percent));
        ring.Percent = static_cast<unsigned>(percent);
        ring.ReleaseSha256 = PinOf(element, "release_sha256", where);
        ring.PreviousSha256 = PinOf(element, "previous_sha256", where);
        if (const Value* staged = MemberOf(element, "staged", where, false))
            ring.Staged = UnsignedOf(*staged, "staged");
        if (const Value* stagedSha256 = MemberOf(element, "staged_sha256", where, false))
            ring.StagedSha256 = document_text::Sha256From(TextOf(*stagedSha256, "staged_sha256"));
        rollout.Rings.push_back(std::move(ring));
    }
    CheckRollout(rollout);
    return rollout;
}

std::string EncodeRelease(const TRelease& release) {
    CheckRelease(release);
    TWriter w;
    w.Json.StartObject();
    w.Key("format");
    w.Text(kReleaseFormat);
    w.SignerNames(release);
    w.Key("serial");
    w.Json.Uint64(release.Serial);
    w.Key("created");
    w.Text(document_text::UtcInstantText(release.CreatedUnix, "The release's creation"));
    if (!release.Note.empty()) {
        w.Key("note");
        w.Text(release.Note);
    }
    w.Key("files");
    w.Json.StartArray();
    for (const auto& file : release.Files) {
        w.Json.StartObject();
        w.Key("name");
        w.Text(file.Name);
        w.Key("size");
        w.Json.Uint64(file.Size);
        w.Key("sha256");
        w.Text(document_text::HexOf(file.Sha256));
        w.Key("age");
        w.Text(document_text::UtcInstantText(file.AgeUnix, "The age of " + document_text::Shown(file.Name)));
        if (file.DeflatedSize) {
            w.Key("stored");
            w.Text(kStoredDeflate);
            w.Key("stored_size");
            w.Json.Uint64(*file.DeflatedSize);
        }
        if (!file.Patches.empty()) {
            w.Key("patches");
            w.Json.StartArray();
            for (const auto& patch : file.Patches) {
                w.Json.StartObject();
                w.Key("from");
                w.Text(document_text::HexOf(patch.From));
                w.Key("sha256");
                w.Text(document_text::HexOf(patch.Sha256));
                w.Key("size");
                w.Json.Uint64(patch.Size);
                w.Json.EndObject();
            }
            w.Json.EndArray();
        }
        w.Json.EndObject();
    }
    w.Json.EndArray();
    w.Json.EndObject();
    return w.Result();
}

std::string EncodeRollout(const TRollout& rollout) {
    CheckRollout(rollout);
    TWriter w;
    w.Json.StartObject();
    w.Key("format");
    w.Text(kRolloutFormat);
    w.SignerNames(rollout);
    w.Key("serial");
    w.Json.Uint64(rollout.Serial);
    w.Key("expires");
    w.Text(document_text::UtcInstantText(rollout.ExpiresUnix, "The expiry"));
    w.Key("rings");
    w.Json.StartArray();
    for (const auto& ring : rollout.Rings) {
        w.Json.StartObject();
        w.Key("ring");
        w.Text(ring.Ring);
        w.Key("release");
        w.Json.Uint64(ring.Release);
        if (ring.Previous) {
            w.Key("previous");
            w.Json.Uint64(*ring.Previous);
        }
        w.Key("percent");
        w.Json.Uint(ring.Percent);
        if (ring.ReleaseSha256) {
            w.Key("release_sha256");
            w.Text(document_text::HexOf(*ring.ReleaseSha256));
        }
        if (ring.PreviousSha256) {
            w.Key("previous_sha256");
            w.Text(document_text::HexOf(*ring.PreviousSha256));
        }
        if (ring.Staged) {
            w.Key("staged");
            w.Json.Uint64(*ring.Staged);
        }
        if (ring.StagedSha256) {
            w.Key("staged_sha256");
            w.Text(document_text::HexOf(*ring.StagedSha256));
        }
        w.Json.EndObject();
    }
    w.Json.EndArray();
    w.Json.EndObject();
    return w.Result();
}

std::string ObjectPath(const TSha256& sha256) {
    const std::string hex = document_text::HexOf(sha256);
    return std::string(kObjectsFolderName) + "/" + hex.substr(0, 2) + "/" + hex;
}

std::string DeflatedObjectPath(const TSha256& sha256) {
    return ObjectPath(sha256) + std::string(kDeflatedObjectSuffix);
}

bool IsValidRingName(std::string_view ring) {
    if (ring.empty() || ring.size() > kMostRingNameLength) return false;
    for (const char c : ring) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-')) return false;
    }
    return true;
}

std::string RolloutNumberInput(std::string_view machine, std::string_view ring, uint64_t release) {
    std::string input(kRolloutFormat);
    input += '\n';
    input += machine;
    input += '\n';
    input += ring;
    input += '\n';
    input += std::to_string(release);
    return input;
}

unsigned RolloutNumberFromDigest(const TSha256& digest) {
    uint64_t value = 0;
    for (size_t i = 0; i < 8; ++i) value = value << 8 | digest[i];
    return static_cast<unsigned>(value % 100);
}

const TRingAssignment* RingEntry(const TRollout& rollout, std::string_view ring) {
    const TRingAssignment* fallback = nullptr;
    for (const auto& entry : rollout.Rings) {
        if (entry.Ring == ring) return &entry;
        if (entry.Ring == kDefaultRing) fallback = &entry;
    }
    return fallback;
}

std::optional<uint64_t> AssignedRelease(const TRollout& rollout, std::string_view ring, unsigned number) {
    const TRingAssignment* entry = RingEntry(rollout, ring);
    if (!entry) return std::nullopt;
    if (number < entry->Percent || !entry->Previous) return entry->Release;
    return entry->Previous;
}

std::optional<TSha256> AssignedReleasePin(const TRollout& rollout, std::string_view ring, unsigned number) {
    const TRingAssignment* entry = RingEntry(rollout, ring);
    if (!entry) return std::nullopt;
    if (number < entry->Percent || !entry->Previous) return entry->ReleaseSha256;
    return entry->PreviousSha256;
}
