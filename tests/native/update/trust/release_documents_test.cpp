#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <string>

#include "update/trust/document_text.h"
#include "update/trust/release_documents.h"
#include "update/trust/release_manifest.h"
#include "update/trust/root_document.h"

namespace {

template <class F>
std::string MessageOf(F&& step) {
    try {
        step();
    } catch (const TManifestError& e) {
        return e.what();
    }
    return "(no error)";
}

TSha256 HashOf(uint8_t first) {
    TSha256 hash{};
    for (size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<uint8_t>(first + i);
    return hash;
}

const std::string kHash = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

TEST(ReleaseDocuments, ReleaseEncodesToTheDocumentedBytesAndBack) {
    TRelease release;
    release.Serial = 3;
    release.CreatedUnix = 1'796'932'800;  // 2026-12-10T20:00:00Z
    release.Note = "corrige a admiss\xC3\xA3o";
    release.Files = {{"Relatorio\\Rpt.rav", 1234, HashOf(0), 1'796'119'200, {}},
                     {"a.dll", UINT64_MAX, HashOf(9), -1, {}}};
    const std::string bytes = EncodeRelease(release);
    EXPECT_EQ(bytes, R"({"format":"aurevia-release/1","serial":3,"created":"2026-12-10T20:00:00Z",)"
                     "\"note\":\"corrige a admiss\xC3\xA3o\",\"files\":["
                     R"({"name":"Relatorio\\Rpt.rav","size":1234,"sha256":")" +
                         kHash +
                         R"(","age":"2026-12-01T10:00:00Z"},)"
                         R"({"name":"a.dll","size":18446744073709551615,"sha256":")" +
                         "090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728" +
                         R"(","age":"1969-12-31T23:59:59Z"}]})");
    const TRelease decoded = DecodeRelease(bytes);
    EXPECT_EQ(decoded.Serial, 3u);
    EXPECT_EQ(decoded.CreatedUnix, release.CreatedUnix);
    EXPECT_EQ(decoded.Note, release.Note);
    ASSERT_EQ(decoded.Files.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(decoded.Files[i].Name, release.Files[i].Name);
        EXPECT_EQ(decoded.Files[i].Size, release.Files[i].Size);
        EXPECT_EQ(decoded.Files[i].Sha256, release.Files[i].Sha256);
        EXPECT_EQ(decoded.Files[i].AgeUnix, release.Files[i].AgeUnix);
    }
    release.Note.clear();  // no note: no member
    EXPECT_EQ(EncodeRelease(release).find("note"), std::string::npos);
    EXPECT_EQ(DecodeRelease(EncodeRelease(release)).Note, "");
}

TEST(ReleaseDocuments, PatchesEncodeAndComeBackInTheirOrder) {
    TRelease release;
    release.Serial = 4;
    release.Files = {
        {"a.dll", 10, HashOf(0), 0, std::nullopt, {{HashOf(1), HashOf(2), 7}, {HashOf(3), HashOf(4), 9}}},
        {"b.dll", 10, HashOf(5), 0}};
    const std::string bytes = EncodeRelease(release);
    EXPECT_NE(bytes.find(R"("patches":[{"from":")"), std::string::npos);
    EXPECT_EQ(bytes.find("patches"), bytes.rfind("patches")) << "a file without patches writes no member";
    const TRelease decoded = DecodeRelease(bytes);
    ASSERT_EQ(decoded.Files[0].Patches.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(decoded.Files[0].Patches[i].From, release.Files[0].Patches[i].From);
        EXPECT_EQ(decoded.Files[0].Patches[i].Sha256, release.Files[0].Patches[i].Sha256);
        EXPECT_EQ(decoded.Files[0].Patches[i].Size, release.Files[0].Patches[i].Size);
    }
    EXPECT_TRUE(decoded.Files[1].Patches.empty());
    release.Files[0].Patches[1].From = HashOf(0);  // from the file itself: never written
    EXPECT_NE(MessageOf([&] { EncodeRelease(release); }).find("from the file itself"), std::string::npos);
}

TEST(ReleaseDocuments, RolloutEncodesToTheDocumentedBytesAndBack) {
    TRollout rollout;
    rollout.Serial = 1'765'400'000;
    rollout.ExpiresUnix = 1'799'524'800;  // 2027-01-09T20:00:00Z
    rollout.Rings = {{"geral", 3, 2, 50}, {"piloto", 4, std::nullopt, 100}};
    const std::string bytes = EncodeRollout(rollout);
    EXPECT_EQ(bytes, R"({"format":"aurevia-rollout/1","serial":1765400000,"expires":"2027-01-09T20:00:00Z",)"
                     R"("rings":[{"ring":"geral","release":3,"previous":2,"percent":50},)"
                     R"({"ring":"piloto","release":4,"percent":100}]})");
    const TRollout decoded = DecodeRollout(bytes);
    EXPECT_EQ(decoded.Serial, rollout.Serial);
    EXPECT_EQ(decoded.ExpiresUnix, rollout.ExpiresUnix);
    ASSERT_EQ(decoded.Rings.size(), 2u);
    EXPECT_EQ(decoded.Rings[0].Ring, "geral");
    EXPECT_EQ(decoded.Rings[0].Release, 3u);
    EXPECT_EQ(decoded.Rings[0].Previous, std::optional<uint64_t>(2));
    EXPECT_EQ(decoded.Rings[0].Percent, 50u);
    EXPECT_EQ(decoded.Rings[1].Previous, std::nullopt);
    EXPECT_EQ(decoded.Rings[1].Staged, std::nullopt);
}

TEST(ReleaseDocuments, AStagedReleaseAndItsDocumentHashTravelWithTheRing) {
    TRollout rollout;
    rollout.Serial = 7;
    rollout.ExpiresUnix = 1'799'524'800;
    TRingAssignment ring{"piloto", 4, std::nullopt, 100};
    ring.Staged = 5;
    ring.StagedSha256 = HashOf(9);
    rollout.Rings = {ring};
    const std::string bytes = EncodeRollout(rollout);
    EXPECT_NE(bytes.find(R"("percent":100,"staged":5,"staged_sha256":")" + document_text::HexOf(HashOf(9))),
              std::string::npos)
        << bytes;
    const TRingAssignment decoded = DecodeRollout(bytes).Rings.at(0);
    EXPECT_EQ(decoded.Staged, std::optional<uint64_t>(5));
    EXPECT_EQ(decoded.StagedSha256, std::optional<TSha256>(HashOf(9)));
    // What the ring takes is not changed by what it stages.
    EXPECT_EQ(AssignedRelease(DecodeRollout(bytes), "piloto", 0), std::optional<uint64_t>(4));
}

TEST(ReleaseDocuments, UnknownMembersAreIgnored) {
    const TRelease release = DecodeRelease(
        R"({"later":{"deep":[[[[1]]]]},"format":"aurevia-release/1","serial":1,"created":"2026-01-01T00:00:00Z",)"
        R"("files":[{"name":"a","size":1,"sha256":")" +
        kHash + R"(","age":"2026-01-01T00:00:00Z","mode":"x"}]})");
    EXPECT_EQ(release.Files.size(), 1u);
    const TRollout rollout = DecodeRollout(
        R"({"format":"aurevia-rollout/1","serial":1,"expires":"2027-01-01T00:00:00Z","by":"ti",)"
        R"("rings":[{"ring":"geral","release":1,"percent":100,"why":null}]})");
    EXPECT_EQ(rollout.Rings.size(), 1u);
}

struct BadDocument {
    const char* what;
    std::string json;
    const char* message;  // a part of the message
};

std::string ReleaseWith(const std::string& members, const std::string& files) {
    return R"({"format":"aurevia-release/1",)" + members + R"("files":[)" + files + "]}";
}

std::string FileEntry(const std::string& name, const std::string& extra = "") {
    return R"({"name":")" + name + R"(","size":1,"sha256":")" + kHash + R"(","age":"2026-01-01T00:00:00Z")" +
           extra + "}";
}

const std::string kOtherHash = std::string(63, 'a') + "b";

std::string PatchEntry(const std::string& from) {
    return R"({"from":")" + from + R"(","sha256":")" + kHash + R"(","size":5})";
}

std::string ManyPatches(int count) {
    std::string list;
    for (int i = 0; i < count; ++i) {
        const std::string digit(1, "0123456789abcdef"[i % 16]);
        list += (i ? "," : "") + PatchEntry(std::string(62, 'c') + digit + (i < 16 ? "e" : "f"));
    }
    return list;
}

const std::string kRoot = R"("serial":1,"created":"2026-01-01T00:00:00Z",)";

TEST(ReleaseDocuments, RefusesMalformedReleases) {
    const BadDocument cases[] = {
        {"not JSON", "{\"format\":", "not JSON"},
        {"trailing bytes", ReleaseWith(kRoot, "") + "{}", "not JSON"},
        {"an array", "[]", "not a JSON object"},
        {"another format",
         R"({"format":"aurevia-manifest/1","serial":1,"created":"2026-01-01T00:00:00Z","files":[]})",
         "format is not aurevia-release/1"},
        {"no serial", ReleaseWith(R"("created":"2026-01-01T00:00:00Z",)", ""), "lacks \"serial\""},
        {"serial twice", ReleaseWith(R"("serial":1,"serial":2,"created":"2026-01-01T00:00:00Z",)", ""),
         "\"serial\" is given twice"},
        {"serial 0", ReleaseWith(R"("serial":0,"created":"2026-01-01T00:00:00Z",)", ""), "start at 1"},
        {"negative serial", ReleaseWith(R"("serial":-1,"created":"2026-01-01T00:00:00Z",)", ""),
         "not an unsigned integer"},
        {"fraction", ReleaseWith(R"("serial":1.0,"created":"2026-01-01T00:00:00Z",)", ""),
         "not an unsigned integer"},
        {"past 64 bits",
         ReleaseWith(R"("serial":18446744073709551616,"created":"2026-01-01T00:00:00Z",)", ""),
         "not an unsigned integer"},
        {"serial as text", ReleaseWith(R"("serial":"1","created":"2026-01-01T00:00:00Z",)", ""),
         "not a number"},
        {"local time", ReleaseWith(R"("serial":1,"created":"2026-01-01T00:00:00",)", ""),
         "\"created\" is not a UTC"},
        {"note not text", ReleaseWith(kRoot + R"("note":1,)", ""), "\"note\" is not a string"},
        {"files not array",
         R"({"format":"aurevia-release/1","serial":1,"created":"2026-01-01T00:00:00Z","files":{}})",
         "\"files\" is not an array"},
        {"file not object", ReleaseWith(kRoot, "1"), "not an object"},
        {"no age", ReleaseWith(kRoot, R"({"name":"a","size":1,"sha256":")" + kHash + "\"}"), "lacks \"age\""},
        {"bad age",
         ReleaseWith(kRoot,
                     R"({"name":"a","size":1,"sha256":")" + kHash + R"(","age":"2026-02-30T00:00:00Z"})"),
         "\"age\" is not a UTC"},
        {"age before file times",
         ReleaseWith(kRoot,
                     R"({"name":"a","size":1,"sha256":")" + kHash + R"(","age":"1500-01-01T00:00:00Z"})"),
         "\"age\" lies outside 1601-01-01T00:00:01Z"},
        {"created before file times", ReleaseWith(R"("serial":1,"created":"1600-12-31T23:59:59Z",)", ""),
         "\"created\" lies outside"},
        {"short hash",
         ReleaseWith(kRoot, R"({"name":"a","size":1,"sha256":"00","age":"2026-01-01T00:00:00Z"})"),
         "64 hex digits"},
        {"rooted", ReleaseWith(kRoot, FileEntry("\\\\a")), "is rooted"},
        {"drive", ReleaseWith(kRoot, FileEntry("C:a")), "no Windows file name may hold"},
        {"dot dot", ReleaseWith(kRoot, FileEntry("a\\\\..\\\\b")), "\"..\" level"},
        {"device name", ReleaseWith(kRoot, FileEntry("Relatorio\\\\nul.dll")), "device name"},
        {"com port", ReleaseWith(kRoot, FileEntry("COM7")), "device name"},
        {"com superscript one", ReleaseWith(kRoot, FileEntry("COM\xC2\xB9")), "device name"},
        {"lpt superscript three", ReleaseWith(kRoot, FileEntry("Relatorio\\\\lpt\xC2\xB3.dll")),
         "device name"},
        {"trailing dot", ReleaseWith(kRoot, FileEntry("a.")), "dot or a space"},
        {"trailing space", ReleaseWith(kRoot, FileEntry("a \\\\b")), "dot or a space"},
        {"twice by case", ReleaseWith(kRoot, FileEntry("A.dll") + "," + FileEntry("a.DLL")), "listed twice"},
        {"bad UTF-8", ReleaseWith(kRoot, FileEntry("\xC3")), "not JSON"},
        {"deflated without its size", ReleaseWith(kRoot, FileEntry("a", R"(,"stored":"deflate")")),
         "lacks \"stored_size\""},
        {"deflated size 0", ReleaseWith(kRoot, FileEntry("a", R"(,"stored":"deflate","stored_size":0)")),
         "\"stored_size\" is 0"},
        {"deflated size as text",
         ReleaseWith(kRoot, FileEntry("a", R"(,"stored":"deflate","stored_size":"9")")), "not a number"},
        {"stored form not text", ReleaseWith(kRoot, FileEntry("a", R"(,"stored":1)")),
         "\"stored\" is not a string"},
        {"patches not array", ReleaseWith(kRoot, FileEntry("a", R"(,"patches":{})")), "not an array"},
        {"patch without from",
         ReleaseWith(kRoot, FileEntry("a", R"(,"patches":[{"sha256":")" + kHash + R"(","size":5}])")),
         "lacks \"from\""},
        {"patch from the file itself",
         ReleaseWith(kRoot, FileEntry("a", R"(,"patches":[{"from":")" + kHash + R"(","sha256":")" + kHash +
                                               R"(","size":5}])")),
         "from the file itself"},
        {"empty patch",
         ReleaseWith(kRoot, FileEntry("a", R"(,"patches":[{"from":")" + kOtherHash + R"(","sha256":")" +
                                               kHash + R"(","size":0}])")),
         "an empty one"},
        {"two patches from one version",
         ReleaseWith(kRoot, FileEntry("a", R"(,"patches":[)" + PatchEntry(kOtherHash) + "," +
                                               PatchEntry(kOtherHash) + "]")),
         "twice from one version"},
        {"too many patches", ReleaseWith(kRoot, FileEntry("a", R"(,"patches":[)" + ManyPatches(17) + "]")),
         "more than 16"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_NE(MessageOf([&] { DecodeRelease(c.json); }).find(c.message), std::string::npos)
            << MessageOf([&] { DecodeRelease(c.json); });
    }
}

std::string RolloutWith(const std::string& rings) {
    return R"({"format":"aurevia-rollout/1","serial":5,"expires":"2027-01-01T00:00:00Z","rings":[)" + rings +
           "]}";
}

TEST(ReleaseDocuments, RefusesMalformedRollouts) {
    const BadDocument cases[] = {
        {"another format",
         R"({"format":"aurevia-release/1","serial":5,"expires":"2027-01-01T00:00:00Z","rings":[]})",
         "format is not aurevia-rollout/1"},
        {"no expiry", R"({"format":"aurevia-rollout/1","serial":5,"rings":[]})", "lacks \"expires\""},
        {"no rings", R"({"format":"aurevia-rollout/1","serial":5,"expires":"2027-01-01T00:00:00Z"})",
         "lacks \"rings\""},
        {"upper-case ring", RolloutWith(R"({"ring":"Geral","release":1,"percent":100})"), "is not 1 to 32"},
        {"empty ring", RolloutWith(R"({"ring":"","release":1,"percent":100})"), "is not 1 to 32"},
        {"long ring",
         RolloutWith(R"({"ring":"a23456789012345678901234567890123","release":1,"percent":100})"),
         "is not 1 to 32"},
        {"ring twice",
         RolloutWith(
             R"({"ring":"geral","release":1,"percent":100},{"ring":"geral","release":2,"percent":100})"),
         "given twice"},
        {"release 0", RolloutWith(R"({"ring":"geral","release":0,"percent":100})"), "release 0"},
        {"no release", RolloutWith(R"({"ring":"geral","percent":100})"), "lacks \"release\""},
        {"no percent", RolloutWith(R"({"ring":"geral","release":1})"), "lacks \"percent\""},
        {"percent 101", RolloutWith(R"({"ring":"geral","release":2,"previous":1,"percent":101})"),
         "above 100"},
        {"negative percent", RolloutWith(R"({"ring":"geral","release":2,"previous":1,"percent":-1})"),
         "not an unsigned integer"},
        {"part without previous", RolloutWith(R"({"ring":"geral","release":2,"percent":50})"),
         "no previous release"},
        {"previous as text", RolloutWith(R"({"ring":"geral","release":2,"previous":"1","percent":50})"),
         "\"previous\" is not a number"},
        {"staged 0", RolloutWith(R"({"ring":"geral","release":2,"percent":100,"staged":0})"),
         "stages release 0"},
        {"staged as text", RolloutWith(R"({"ring":"geral","release":2,"percent":100,"staged":"3"})"),
         "\"staged\" is not a number"},
        {"staged hash without a stage",
         RolloutWith(R"({"ring":"geral","release":2,"percent":100,"staged_sha256":")" + std::string(64, 'a') +
                     R"("})"),
         "no \"staged\" release"},
        {"staged hash too short",
         RolloutWith(R"({"ring":"geral","release":2,"percent":100,"staged":3,"staged_sha256":"abc"})"), "64"},
        {"a signer that is no key id",
         R"({"format":"aurevia-rollout/1","key":"Ab12","serial":5,"expires":"2027-01-01T00:00:00Z","rings":[]})",
         "not a key id"},
        {"an empty product",
         R"({"format":"aurevia-rollout/1","product":"","serial":5,"expires":"2027-01-01T00:00:00Z","rings":[]})",
         "is not 1 to 64 characters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_NE(MessageOf([&] { DecodeRollout(c.json); }).find(c.message), std::string::npos)
            << MessageOf([&] { DecodeRollout(c.json); });
    }
}

// The superscript ports are devices like the plain ones; their neighbours are ordinary names.
TEST(ReleaseDocuments, SuperscriptPortDigitsOneToThreeAreDeviceNames) {
    const struct {
        const char* name;
        bool device;
    } cases[] = {
        {"COM\xC2\xB9", true},          {"com\xC2\xB2.dll", true},  {"LPT\xC2\xB3", true},
        {"Lpt\xC2\xB9.txt", true},      {"COM\xE2\x81\xB4", false},  // superscript four
        {"COM\xC2\xB9\xC2\xB9", false}, {"COM\xC2\xB9x", false},    {"LPT\xC2\xB0", false},  // degree sign
        {"xCOM\xC2\xB9", false},        {"COM10", false},           {"COM0", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string message = MessageOf([&] { DecodeRelease(ReleaseWith(kRoot, FileEntry(c.name))); });
        EXPECT_EQ(message.find("device name") != std::string::npos, c.device) << message;
        if (!c.device) EXPECT_EQ(message, "(no error)");
    }
}

TSha256 PinOf(uint8_t first) { return HashOf(first); }

TEST(ReleaseDocuments, RolloutPinsTravelWithTheirRingsAndChooseWithTheRelease) {
    TRollout rollout;
    rollout.Serial = 7;
    rollout.ExpiresUnix = 1'799'524'800;
    rollout.Rings = {{"geral", 3, 2, 50, PinOf(0), PinOf(9)},
                     {"piloto", 4, std::nullopt, 100, PinOf(0), std::nullopt},
                     {"ala-b", 5, 4, 100, std::nullopt, std::nullopt}};  // an earlier publisher's entry
    const std::string bytes = EncodeRollout(rollout);
    EXPECT_NE(bytes.find(R"({"ring":"geral","release":3,"previous":2,"percent":50,"release_sha256":")" +
                         kHash + R"(","previous_sha256":"090a0b0c)"),
              std::string::npos)
        << bytes;
    EXPECT_NE(bytes.find(R"({"ring":"ala-b","release":5,"previous":4,"percent":100})"), std::string::npos)
        << bytes;
    const TRollout decoded = DecodeRollout(bytes);
    ASSERT_EQ(decoded.Rings.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(decoded.Rings[i].ReleaseSha256, rollout.Rings[i].ReleaseSha256) << i;
        EXPECT_EQ(decoded.Rings[i].PreviousSha256, rollout.Rings[i].PreviousSha256) << i;
    }

    // The pin follows the release the number chose; an unnamed ring follows geral's.
    const struct {
        const char* ring;
        unsigned number;
        std::optional<TSha256> pin;
    } cases[] = {
        {"geral", 49, PinOf(0)},  {"geral", 50, PinOf(9)},    {"outro", 99, PinOf(9)},
        {"piloto", 99, PinOf(0)}, {"ala-b", 0, std::nullopt}, {"ala-b", 99, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.ring) + " " + std::to_string(c.number));
        EXPECT_EQ(AssignedReleasePin(decoded, c.ring, c.number), c.pin);
    }
    TRollout noGeral = decoded;
    noGeral.Rings.erase(noGeral.Rings.begin());
    EXPECT_EQ(AssignedReleasePin(noGeral, "outro", 0), std::nullopt);

    const BadDocument bad[] = {
        {"short pin", RolloutWith(R"({"ring":"geral","release":1,"percent":100,"release_sha256":"00"})"),
         "\"release_sha256\" is not 64 hex digits"},
        {"pin as number", RolloutWith(R"({"ring":"geral","release":1,"percent":100,"release_sha256":1})"),
         "\"release_sha256\" is not a string"},
        {"pin twice",
         RolloutWith(R"({"ring":"geral","release":1,"percent":100,"release_sha256":")" + kHash +
                     R"(","release_sha256":")" + kHash + R"("})"),
         "given twice"},
        {"previous pin without previous",
         RolloutWith(R"({"ring":"geral","release":1,"percent":100,"previous_sha256":")" + kHash + R"("})"),
         "pins a previous release but names none"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.what);
        EXPECT_NE(MessageOf([&] { DecodeRollout(c.json); }).find(c.message), std::string::npos)
            << MessageOf([&] { DecodeRollout(c.json); });
    }
    rollout.Rings[1].PreviousSha256 = PinOf(1);  // piloto has no previous
    EXPECT_NE(MessageOf([&] { EncodeRollout(rollout); }).find("pins a previous release"), std::string::npos);
}

TEST(ReleaseDocuments, EncodingRefusesWhatDecodingWould) {
    TRelease release;
    release.Serial = 1;
    release.Files = {{"CON", 1, HashOf(0), 0, {}}};
    EXPECT_NE(MessageOf([&] { EncodeRelease(release); }).find("device name"), std::string::npos);
    release.Files = {{"Rpt.rav", 1, HashOf(0), -14'831'769'600, {}}};  // 1500-01-01T00:00:00Z
    EXPECT_NE(MessageOf([&] { EncodeRelease(release); }).find("lies outside 1601"), std::string::npos);
    TRollout rollout;
    rollout.Rings = {{"geral", 2, std::nullopt, 10}};
    EXPECT_NE(MessageOf([&] { EncodeRollout(rollout); }).find("no previous release"), std::string::npos);
}

// The signer's members (key, product, deployment) mean the same in the three signed documents and
// in the root: one reader, one set of names, whichever codec (the manifest's streaming one, the
// others' DOM) reads them.
TEST(ReleaseDocuments, SignerMembersReadAlikeInEveryDocument) {
    const std::string key(64, 'a');
    const auto manifest = [](const std::string& signer) {
        return R"({"format":"aurevia-manifest/1",)" + signer +
               R"("serial":5,"expires":"2027-01-01T00:00:00Z","files":[]})";
    };
    const auto release = [](const std::string& signer) {
        return R"({"format":"aurevia-release/1",)" + signer +
               R"("serial":5,"created":"2026-12-01T00:00:00Z","files":[]})";
    };
    const auto rollout = [](const std::string& signer) {
        return R"({"format":"aurevia-rollout/1",)" + signer +
               R"("serial":5,"expires":"2027-01-01T00:00:00Z","rings":[]})";
    };
    struct Names {
        std::string key, product, deployment;
    };
    const auto read = [&](int kind, const std::string& signer) {
        if (kind == 0) {
            const TReleaseManifest m = DecodeReleaseManifest(manifest(signer));
            return Names{m.Key, m.Product, m.Deployment};
        }
        if (kind == 1) {
            const TRelease r = DecodeRelease(release(signer));
            return Names{r.Key, r.Product, r.Deployment};
        }
        const TRollout r = DecodeRollout(rollout(signer));
        return Names{r.Key, r.Product, r.Deployment};
    };
    const struct {
        const char* what;
        std::string signer;
        const char* message;  // nullptr: read
    } cases[] = {
        {"all three", R"("key":")" + key + R"(","product":"aurevia","deployment":"producao-2",)", nullptr},
        {"none (signed without a root)", "", nullptr},
        {"a deployment with a blank", R"("deployment":"prod ucao",)", "is not 1 to 64 characters"},
        {"an empty deployment", R"("deployment":"",)", "is not 1 to 64 characters"},
        {"a deployment of 65 characters", R"("deployment":")" + std::string(65, 'd') + R"(",)",
         "is not 1 to 64 characters"},
        {"a deployment given twice", R"("deployment":"a","deployment":"b",)", "given twice"},
        {"a deployment as a number", R"("deployment":7,)", "is not a string"},
        {"a product the root could not name", R"("product":"aurevia/teste",)", "is not 1 to 64 characters"},
    };
    for (const auto& c : cases) {
        for (int kind = 0; kind < 3; ++kind) {
            SCOPED_TRACE(std::string(c.what) + ", document " + std::to_string(kind));
            if (!c.message) {
                const Names names = read(kind, c.signer);
                EXPECT_EQ(names.key, c.signer.empty() ? "" : key);
                EXPECT_EQ(names.deployment, c.signer.empty() ? "" : "producao-2");
                continue;
            }
            const std::string message = MessageOf([&] { read(kind, c.signer); });
            EXPECT_NE(message.find(c.message), std::string::npos) << message;
        }
    }
    // The root names its product through the same reader.
    EXPECT_NE(MessageOf([] {
                  DecodeRootDocument(R"({"format":"aurevia-root/1","product":"aurevia teste","version":1})");
              }).find("is not 1 to 64 characters"),
              std::string::npos);

    // Written only when named: a document signed without a root keeps the bytes of earlier publishers.
    TRollout plain;
    EXPECT_EQ(EncodeRollout(plain).find("deployment"), std::string::npos);
    plain.Deployment = "producao";
    EXPECT_EQ(DecodeRollout(EncodeRollout(plain)).Deployment, "producao");
    plain.Deployment = "prod ucao";
    EXPECT_NE(MessageOf([&] { EncodeRollout(plain); }).find("is not 1 to 64"), std::string::npos);
}

TEST(ReleaseDocuments, ObjectPathNamesTheContent) {
    EXPECT_EQ(ObjectPath(HashOf(0xab)),
              "aurevia-objects/ab/abacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebfc0c1c2c3c4c5c6c7c8c9ca");
    EXPECT_EQ(DeflatedObjectPath(HashOf(0xab)), ObjectPath(HashOf(0xab)) + ".deflate");
}

// Launchers in the field read no "stored" and take the plain object; this one takes the deflated
// object only for the form it knows.
TEST(ReleaseDocuments, ADeflatedObjectIsRecordedBesideThePlainEntry) {
    TRelease release{1, 0, "", {{"a.dll", 5000, HashOf(0), 0}, {"b.ini", 10, HashOf(1), 0}}};
    release.Files[0].DeflatedSize = 1200;
    const std::string bytes = EncodeRelease(release);
    EXPECT_NE(bytes.find(R"("age":"1970-01-01T00:00:00Z","stored":"deflate","stored_size":1200})"),
              std::string::npos)
        << bytes;
    const TRelease decoded = DecodeRelease(bytes);
    EXPECT_EQ(decoded.Files[0].DeflatedSize, std::optional<uint64_t>(1200));
    EXPECT_EQ(decoded.Files[1].DeflatedSize, std::nullopt);

    const TRelease later =
        DecodeRelease(ReleaseWith(kRoot, FileEntry("a", R"(,"stored":"zstd","stored_size":7)")));
    EXPECT_EQ(later.Files[0].DeflatedSize, std::nullopt);

    release.Files[0].DeflatedSize = 0;
    EXPECT_NE(MessageOf([&] { EncodeRelease(release); }).find("\"stored_size\" is 0"), std::string::npos);
}

unsigned NumberOf(const std::string& machine, const std::string& ring, uint64_t release) {
    const std::string input = RolloutNumberInput(machine, ring, release);
    TSha256 digest{};
    SHA256(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest.data());
    return RolloutNumberFromDigest(digest);
}

TEST(ReleaseDocuments, RolloutNumberIsPinnedAndSpreads) {
    // Pinned values, so that the launcher's hash (CNG) and this one cannot drift apart.
    EXPECT_EQ(RolloutNumberInput("PC-1", "geral", 12), "aurevia-rollout/1\nPC-1\ngeral\n12");
    EXPECT_EQ(NumberOf("4c4c4544-0042-3510-8052-b4c04f4d4e31", "geral", 3), 43u);
    EXPECT_EQ(NumberOf("PC-ADMISSAO-01", "piloto", 12), 52u);
    TSha256 digest{};
    digest[7] = 199;  // big-endian: only the eighth byte set
    EXPECT_EQ(RolloutNumberFromDigest(digest), 99u);
    digest.fill(0xff);  // 2^64 - 1 = ...615
    EXPECT_EQ(RolloutNumberFromDigest(digest), 15u);

    // Over a few hundred machines a 30 % rollout takes about 30 %, and another release puts other
    // machines first.
    unsigned taken = 0, sameOrder = 0;
    for (int machine = 0; machine < 400; ++machine) {
        const unsigned number = NumberOf("machine-" + std::to_string(machine), "geral", 7);
        taken += number < 30;
        sameOrder += (number < 30) == (NumberOf("machine-" + std::to_string(machine), "geral", 8) < 30);
    }
    EXPECT_GT(taken, 90u);
    EXPECT_LT(taken, 150u);
    EXPECT_LT(sameOrder, 340u);
}

TEST(ReleaseDocuments, AssignsByRingNumberAndPercent) {
    TRollout rollout;
    rollout.Rings = {{"geral", 3, 2, 50}, {"piloto", 4, std::nullopt, 100}, {"ala-b", 5, 4, 0}};
    const struct {
        const char* ring;
        unsigned number;
        std::optional<uint64_t> release;
    } cases[] = {
        {"geral", 0, 3}, {"geral", 49, 3}, {"geral", 50, 2}, {"geral", 99, 2}, {"piloto", 99, 4},
        {"ala-b", 0, 4}, {"ala-b", 99, 4}, {"outro", 10, 3}, {"outro", 70, 2}, {"GERAL", 70, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.ring) + " " + std::to_string(c.number));
        EXPECT_EQ(AssignedRelease(rollout, c.ring, c.number), c.release);
    }
    EXPECT_EQ(RingEntry(rollout, "outro"), &rollout.Rings[0]);
    rollout.Rings.erase(rollout.Rings.begin());  // no "geral": an unnamed ring gets nothing
    EXPECT_EQ(AssignedRelease(rollout, "outro", 0), std::nullopt);
    EXPECT_EQ(AssignedRelease(rollout, "piloto", 0), std::optional<uint64_t>(4));
}

}  // namespace
