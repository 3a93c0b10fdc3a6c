// Release control tried for real: one server folder holding signed releases side by side, four
// workstations (two per ring, each a program folder of its own with its own accepted serials and
// machine value) updated through the files updater after every change the publisher makes, and the
// attacks on the rollout document and the stored contents.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <set>

#include "../updater/http_fixtures.h"
#include "../updater/verified_update_run.h"
#include "base/string_convert.h"
#include "support/message_pump.h"
#include "support/test_files.h"
#include "support/test_publisher.h"
#include "support/test_release_server.h"
#include "update/updater/files_updater.h"
#include "update/plan/rollout_number.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const int64_t kDay = 86400;

// Computed here from OpenSSL-free parts the product does not use for it: the one-shot CNG hash and
// the codec's digest rule.
unsigned ExpectedNumber(const std::string& machine, const std::string& ring, uint64_t release) {
    return RolloutNumberFromDigest(OneShotSha256(RolloutNumberInput(machine, ring, release)));
}

// The first machine value "<prefix>-<n>" whose number for ring geral and release 2 lies on the asked
// side of 50: the 50 % row then has one workstation on each side.
std::string MachineFor(const std::string& prefix, bool below50) {
    for (int n = 0;; ++n) {
        std::string machine = prefix + "-" + std::to_string(n);
        if ((ExpectedNumber(machine, "geral", 2) < 50) == below50) return machine;
    }
}

// Three releases of the files a workstation keeps: the module, two shared files and a layout. Each
// changes the module and one shared file; central.ini is the same content and age in all three.
const int64_t kAge1 = UnixUtc(2022, 1, 10, 10, 0, 1);
const int64_t kAge2 = UnixUtc(2023, 2, 11, 11, 0, 3);
const int64_t kAge3 = UnixUtc(2024, 3, 12, 12, 0, 5);
const int64_t kCentralAge = UnixUtc(2021, 5, 5, 5, 5, 5);

std::vector<TestReleaseFile> ReleaseFiles(int n, int64_t age) {
    const std::string v = std::to_string(n);
    return {{"Admission.exe", "admission " + v, age},
            {"gds32.dll", "gds " + v, age + 60},
            {"central.ini", "central", kCentralAge},
            {"Relatorio\\RptScheduling.rav", "layout " + v, age + 120}};
}

struct Workstation {
    std::string name, ring, machine;
    TempFolder local;
    SerialKey serialKey;
    TUpdateVerification verification;

    Workstation(std::string AName, std::string ARing, std::string AMachine, const std::wstring& key)
        : name(std::move(AName)), ring(std::move(ARing)), machine(std::move(AMachine)) {
        CreateDirectoryW((local / L"Relatorio").c_str(), nullptr);
        verification.PublisherKey = key;
        verification.SerialKey = serialKey.Path();
        verification.Ring = ring;
        verification.MachineValue = machine;
        verification.StateFile = local / kAcceptedStateFileName;
    }
};

// Which release's files (content and age, each file) a workstation holds; 0 when it matches none.
int HeldRelease(const Workstation& w, const std::map<int, std::vector<TestReleaseFile>>& releases) {
    for (const auto& [n, files] : releases) {
        bool all = true;
        for (const TestReleaseFile& file : files) {
            const std::wstring path = w.local / Utf8ToWide(file.Name);
            all = all && ReadWholeFile(path) == file.Content && UnixAgeOf(path) == file.AgeUnix;
        }
        if (all) return n;
    }
    return 0;
}

TRingAssignment Ring(const char* ring, uint64_t release, std::optional<uint64_t> previous = std::nullopt,
                     unsigned percent = 100) {
    return TRingAssignment{ring, release, previous, percent};
}

struct Expectation {
    int release;  // the release each workstation of the ring holds afterwards
    TRefusal refusal = TRefusal::None;
    std::vector<std::wstring> altered = {};
};

struct Scenario;

struct ScenarioRow {
    const char* what;
    std::function<void(Scenario&)> publish;
    Expectation geralBelow, geralAbove, piloto;
};

struct Scenario {
    TempFolder server;
    TestPublisher publisher;
    TestReleaseServer releases{publisher, server.Path()};
    std::map<int, std::vector<TestReleaseFile>> contents = {
        {1, ReleaseFiles(1, kAge1)}, {2, ReleaseFiles(2, kAge2)}, {3, ReleaseFiles(3, kAge3)}};
    uint64_t serial = 1765400000;
    std::map<std::string, std::pair<std::string, std::string>> served;  // documents kept for replays

    void Rollout(const char* label, std::vector<TRingAssignment> rings,
                 int64_t expires = UnixNowPlus(30 * kDay)) {
        served[label] = releases.SetRollout(TRollout{++serial, expires, std::move(rings)});
    }
};

const ScenarioRow kScenario[] = {
    {"release 1 to geral at 100 %",
     [](Scenario& s) {
         s.releases.AddRelease(1, s.contents[1]);
         s.Rollout("1", {Ring("geral", 1)});
     },
     {1},
     {1},
     {1}},
    {"release 2 to piloto only: the pilot takes it, geral stays",
     [](Scenario& s) {
         s.releases.AddRelease(2, s.contents[2]);
         s.Rollout("pilot", {Ring("geral", 1), Ring("piloto", 2)});
     },
     {1},
     {1},
     {2}},
    {"release 2 to geral at 0 %",
     [](Scenario& s) {
         s.Rollout("0", {Ring("geral", 2, 1, 0), Ring("piloto", 2)});
     },
     {1},
     {1},
     {2}},
    {"release 2 to geral at 50 %: the workstation below 50 takes it",
     [](Scenario& s) {
         s.Rollout("50", {Ring("geral", 2, 1, 50), Ring("piloto", 2)});
     },
     {2},
     {1},
     {2}},
    {"release 2 to geral at 100 %",
     [](Scenario& s) {
         s.Rollout("100", {Ring("geral", 2, 1, 100), Ring("piloto", 2)});
     },
     {2},
     {2},
     {2}},
    {"rollback of geral to release 1: its files and ages come back",
     [](Scenario& s) {
         s.Rollout("rollback", {Ring("geral", 1), Ring("piloto", 2)});
     },
     {1},
     {1},
     {2}},
    {"the 100 % document replayed after the rollback is refused",
     [](Scenario& s) { s.releases.ServeRollout(s.served["100"]); },
     {1, TRefusal::OlderRelease},
     {1, TRefusal::OlderRelease},
     {2, TRefusal::OlderRelease}},
    {"an expired rollout document is refused",
     [](Scenario& s) { s.Rollout("expired", {Ring("geral", 2)}, UnixNowPlus(-60)); },
     {1, TRefusal::Expired},
     {1, TRefusal::Expired},
     {2, TRefusal::Expired}},
    {"a rollout document signed by another key is refused",
     [](Scenario& s) {
         const TestPublisher stranger;
         TestReleaseServer(stranger, s.server.Path())
             .SetRollout(TRollout{++s.serial, UnixNowPlus(kDay), {Ring("geral", 2)}});
     },
     {1, TRefusal::BadSignature},
     {1, TRefusal::BadSignature},
     {2, TRefusal::BadSignature}},
    {"release 3 with an object altered on the server: that file keeps its previous content",
     [](Scenario& s) {
         s.releases.AddRelease(3, s.contents[3]);
         WriteWholeFile(s.releases.ObjectFile("gds 3"), "gds X");  // same size
         s.Rollout("3", {Ring("geral", 3), Ring("piloto", 2)});
     },
     {0, TRefusal::None, {L"gds32.dll"}},
     {0, TRefusal::None, {L"gds32.dll"}},
     {2}},
    {"another signed release served under the assigned serial is refused",
     [](Scenario& s) {
         // 3.json replaced by release 2's signed document: a valid signature, the wrong release.
         CopyFileW((s.server / L"aurevia-releases\\2.json").c_str(),
                   (s.server / L"aurevia-releases\\3.json").c_str(), FALSE);
         CopyFileW((s.server / L"aurevia-releases\\2.sig").c_str(),
                   (s.server / L"aurevia-releases\\3.sig").c_str(), FALSE);
         s.Rollout("swap", {Ring("geral", 3), Ring("piloto", 2)});
     },
     {0, TRefusal::MalformedManifest},
     {0, TRefusal::MalformedManifest},
     {2}},
    {"the rollout document removed: a workstation that followed one refuses the flat folder",
     [](Scenario& s) { s.releases.RemoveRollout(); },
     {0, TRefusal::MissingManifest},
     {0, TRefusal::MissingManifest},
     {2, TRefusal::MissingManifest}},
};

TEST(RolloutScenario, TwoWorkstationsPerRingFollowThePublisher) {
    Scenario s;
    const std::wstring key = s.publisher.PublicKeyText();
    Workstation geralBelow("geral-a", "geral", MachineFor("machine", true), key);
    Workstation geralAbove("geral-b", "geral", MachineFor("machine", false), key);
    Workstation pilotoA("piloto-a", "piloto", "pilot-machine-1", key);
    Workstation pilotoB("piloto-b", "piloto", "pilot-machine-2", key);

    for (const ScenarioRow& row : kScenario) {
        SCOPED_TRACE(row.what);
        row.publish(s);
        const std::pair<Workstation*, const Expectation*> plan[] = {{&geralBelow, &row.geralBelow},
                                                                    {&geralAbove, &row.geralAbove},
                                                                    {&pilotoA, &row.piloto},
                                                                    {&pilotoB, &row.piloto}};
        for (const auto& [w, expected] : plan) {
            SCOPED_TRACE(w->name);
            const int before = HeldRelease(*w, s.contents);
            const Outcome outcome = RunUpdate(w->local.Path(), s.server.Path(), L"", w->verification);
            ASSERT_FALSE(outcome.error) << *outcome.error;
            ASSERT_TRUE(outcome.completed);
            EXPECT_EQ(outcome.report.Refusal, expected->refusal) << WideToUtf8(RefusalReason(outcome.report));
            EXPECT_EQ(outcome.report.AlteredFiles, expected->altered);
            EXPECT_EQ(outcome.report.Rollout.Ring, Utf8ToWide(w->ring));
            if (expected->refusal != TRefusal::None) {
                // A refusal changes nothing on the workstation.
                EXPECT_EQ(HeldRelease(*w, s.contents), before);
                EXPECT_FALSE(outcome.report.Rollout.Release);
                continue;
            }
            if (expected->release != 0) {
                EXPECT_EQ(HeldRelease(*w, s.contents), expected->release);
                EXPECT_EQ(outcome.report.Rollout.Release, static_cast<uint64_t>(expected->release));
            }
            EXPECT_EQ(outcome.report.Rollout.RolloutSerial, s.serial);
            ASSERT_TRUE(outcome.report.Rollout.Number);
            EXPECT_LT(*outcome.report.Rollout.Number, 100u);
        }
    }
    // The altered object left gds32.dll of release 1 in place while the rest of release 3 arrived.
    EXPECT_EQ(ReadWholeFile(geralBelow.local / L"gds32.dll"), "gds 1");
    EXPECT_EQ(UnixAgeOf(geralBelow.local / L"gds32.dll"), kAge1 + 60);
    EXPECT_EQ(ReadWholeFile(geralBelow.local / L"Admission.exe"), "admission 3");
    EXPECT_EQ(UnixAgeOf(geralBelow.local / L"Admission.exe"), kAge3);
}

TEST(RolloutNumber, SplitsARingByItsPercentAndKeepsEachMachinesChoice) {
    TRollout rollout{1, 0, {Ring("geral", 2, 1, 50)}};
    int takers = 0;
    std::set<std::string> firstForRelease2, firstForRelease3;
    for (int n = 0; n < 400; ++n) {
        const std::string machine = "{" + std::to_string(n * 7919) + "-guid}";
        const unsigned number = WorkstationRolloutNumber(machine, "geral", 2);
        // CNG's streaming hash in the product and the one-shot hash here agree, run after run.
        ASSERT_EQ(number, ExpectedNumber(machine, "geral", 2));
        ASSERT_EQ(number, WorkstationRolloutNumber(machine, "geral", 2));
        if (AssignedRelease(rollout, "geral", number) == 2u) {
            ++takers;
            firstForRelease2.insert(machine);
        }
        if (WorkstationRolloutNumber(machine, "geral", 3) < 50) firstForRelease3.insert(machine);
    }
    EXPECT_GE(takers, 170);  // 200 expected; a fair split of 400 stays within about 3 standard deviations
    EXPECT_LE(takers, 230);
    // The next release draws other machines first.
    EXPECT_NE(firstForRelease2, firstForRelease3);
}

TEST(RolloutFallback, WithoutARolloutDocumentTheFlatSignedFolderUpdatesAsBefore) {
    TempFolder server;
    const TestPublisher publisher;
    WriteFileAt(server / L"Admission.exe", "flat module", LocalAge(2022, 1, 10, 14, 32, 5, 123));
    publisher.PublishFolder(server.Path(), 7, UnixNowPlus(kDay));
    Workstation w("flat", "piloto", "m", publisher.PublicKeyText());
    const Outcome outcome = RunUpdate(w.local.Path(), server.Path(), L"", w.verification);
    ASSERT_FALSE(outcome.error) << *outcome.error;
    EXPECT_TRUE(outcome.report.Clean());
    EXPECT_EQ(ReadWholeFile(w.local / L"Admission.exe"), "flat module");
    EXPECT_FALSE(outcome.report.Rollout.Release);
    EXPECT_FALSE(outcome.report.Rollout.RolloutSerial);

    // A document that places neither this ring nor geral leaves the flat folder in charge too.
    TestReleaseServer releases(publisher, server.Path());
    releases.AddRelease(1, ReleaseFiles(1, kAge1));
    releases.SetRollout(TRollout{5, UnixNowPlus(kDay), {Ring("uti", 1)}});
    WriteFileAt(server / L"Admission.exe", "flat module 2", LocalAge(2022, 2, 10, 14, 32, 5, 123));
    publisher.PublishFolder(server.Path(), 8, UnixNowPlus(kDay));
    const Outcome second = RunUpdate(w.local.Path(), server.Path(), L"", w.verification);
    ASSERT_FALSE(second.error) << *second.error;
    EXPECT_TRUE(second.report.Clean()) << WideToUtf8(RefusalReason(second.report));
    EXPECT_EQ(ReadWholeFile(w.local / L"Admission.exe"), "flat module 2");
    EXPECT_EQ(second.report.Rollout.RolloutSerial, 5u);
    EXPECT_FALSE(second.report.Rollout.Release);
}

TEST(RolloutService, TheReferenceServiceServesReleasesAndObjectsByName) {
    TempFolder served(L"Z:\\tmp\\");
    const ReferenceService service(served.Path());
    if (!service.Available()) GTEST_SKIP() << "the reference file service is not built (native tree)";
    const TestPublisher publisher;
    const TestReleaseServer releases(publisher, served.Path());
    releases.AddRelease(1, ReleaseFiles(1, kAge1));
    releases.AddRelease(2, ReleaseFiles(2, kAge2));
    releases.SetRollout(TRollout{9, UnixNowPlus(kDay), {Ring("geral", 2)}});
    WriteWholeFile(releases.ObjectFile("layout 2"), "layout X");
    Workstation w("service", "geral", "m", publisher.PublicKeyText());
    const Outcome outcome = RunUpdate(w.local.Path(), L"", service.URL(), w.verification);
    ASSERT_FALSE(outcome.error) << *outcome.error;
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.report.Refusal, TRefusal::None);
    EXPECT_THAT(outcome.report.AlteredFiles, ElementsAre(L"Relatorio\\RptScheduling.rav"));
    EXPECT_EQ(ReadWholeFile(w.local / L"Admission.exe"), "admission 2");
    EXPECT_EQ(UnixAgeOf(w.local / L"Admission.exe"), kAge2);
    EXPECT_EQ(ReadWholeFile(w.local / L"gds32.dll"), "gds 2");
    EXPECT_FALSE(PathExists(w.local / L"Relatorio\\RptScheduling.rav"));
    EXPECT_EQ(outcome.report.Rollout.Release, 2u);
}

}  // namespace

// A release whose entry is dated before any file time, signed all the same (the publisher refuses
// to write one; a forger need not ask it): refused as malformed like any unreadable release, the
// update still ends with its report, so the installed module starts as after any refusal.
TEST(RolloutRefusals, AReleaseEntryDated1500IsRefusedAndTheUpdateStillEnds) {
    Scenario s;
    Workstation w("geral-a", "geral", "machine-1500", s.publisher.PublicKeyText());
    s.releases.AddRelease(1, s.contents[1]);
    s.Rollout("1", {Ring("geral", 1)});
    ASSERT_EQ(RunUpdate(w.local.Path(), s.server.Path(), L"", w.verification).report.Refusal, TRefusal::None);
    ASSERT_EQ(HeldRelease(w, s.contents), 1);

    s.releases.AddRelease(2, s.contents[2]);
    const std::wstring release2 = s.server / L"aurevia-releases\\2";
    std::string forged = ReadWholeFile(release2 + L".json");
    const std::string age = "\"age\":\"" + std::string("2023-02-11T11:00:03Z") + "\"";
    ASSERT_NE(forged.find(age), std::string::npos);
    forged.replace(forged.find(age), age.size(), "\"age\":\"1500-01-01T00:00:00Z\"");
    WriteWholeFile(release2 + L".json", forged);
    WriteWholeFile(release2 + L".sig", s.publisher.Sign(forged));
    s.Rollout("2", {Ring("geral", 2)});

    const Outcome outcome = RunUpdate(w.local.Path(), s.server.Path(), L"", w.verification);
    ASSERT_FALSE(outcome.error) << *outcome.error;
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.report.Refusal, TRefusal::MalformedManifest);
    EXPECT_THAT(outcome.report.Detail, ::testing::HasSubstr("\"age\" lies outside 1601"));
    EXPECT_EQ(HeldRelease(w, s.contents), 1);
}

namespace {

// The pin of a release as the publisher writes it: the SHA-256 of its .json bytes on the server.
TSha256 PinOf(const Scenario& s, int release) {
    return OneShotSha256(
        ReadWholeFile(s.server / (L"aurevia-releases\\" + std::to_wstring(release) + L".json")));
}

// Re-signs release 2's document with other bytes (its note): as valid a signature as the original.
void ResignRelease2(Scenario& s, const std::string& note) {
    const std::wstring release2 = s.server / L"aurevia-releases\\2";
    TRelease release = DecodeRelease(ReadWholeFile(release2 + L".json"));
    release.Note = note;
    const std::string bytes = EncodeRelease(release);
    WriteWholeFile(release2 + L".json", bytes);
    WriteWholeFile(release2 + L".sig", s.publisher.Sign(bytes));
}

}  // namespace

// A release is taken only in the bytes its rollout document pinned, and a rollout document only in
// the bytes accepted under its serial; each refusal leaves the workstation as it was.
TEST(RolloutPins, APinnedReleaseAndAnAcceptedSerialAdmitOnlyTheirOwnBytes) {
    Scenario s;
    Workstation w("geral-a", "geral", "machine-pins", s.publisher.PublicKeyText());
    s.releases.AddRelease(1, s.contents[1]);
    s.releases.AddRelease(2, s.contents[2]);
    const TSha256 pin1 = PinOf(s, 1), pin2 = PinOf(s, 2);
    s.Rollout("1", {TRingAssignment{"geral", 1, std::nullopt, 100, pin1}});
    ASSERT_EQ(RunUpdate(w.local.Path(), s.server.Path(), L"", w.verification).report.Refusal, TRefusal::None);
    ASSERT_EQ(HeldRelease(w, s.contents), 1);
    const std::wstring release2 = s.server / L"aurevia-releases\\2";
    const std::string signed2 = ReadWholeFile(release2 + L".json"),
                      signature2 = ReadWholeFile(release2 + L".sig");

    const struct {
        const char* what;
        std::function<void()> serve;
        TRefusal refusal;
        int holds;
    } steps[] = {
        {"release 2 re-signed with other bytes than its pin",
         [&] {
             ResignRelease2(s, "outra");
             s.Rollout("2", {TRingAssignment{"geral", 2, 1, 100, pin2, pin1}});
         },
         TRefusal::UnpinnedRelease, 1},
        {"the pinned bytes back",
         [&] {
             WriteWholeFile(release2 + L".json", signed2);
             WriteWholeFile(release2 + L".sig", signature2);
         },
         TRefusal::None, 2},
        {"the accepted rollout document served again", [&] { s.releases.ServeRollout(s.served["2"]); },
         TRefusal::None, 2},
        {"the accepted serial with other bytes (back to release 1)",
         [&] {
             s.releases.SetRollout(
                 TRollout{s.serial, UnixNowPlus(30 * kDay), {TRingAssignment{"geral", 1, {}, 100, pin1}}});
         },
         TRefusal::ReplacedDocument, 2},
        {"a document without pins (an earlier publisher) is followed as before",
         [&] { s.Rollout("unpinned", {Ring("geral", 1)}); }, TRefusal::None, 1},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        step.serve();
        const Outcome outcome = RunUpdate(w.local.Path(), s.server.Path(), L"", w.verification);
        ASSERT_FALSE(outcome.error) << *outcome.error;
        ASSERT_TRUE(outcome.completed);
        EXPECT_EQ(outcome.report.Refusal, step.refusal) << WideToUtf8(RefusalReason(outcome.report));
        EXPECT_EQ(HeldRelease(w, s.contents), step.holds);
    }
}

// Two Windows users of one installation: what the first one's launcher accepted binds the second,
// whose own registry is empty.
TEST(RolloutPins, ASecondUserOfTheInstallationRefusesAnOlderSignedRolloutDocument) {
    Scenario s;
    Workstation first("geral-a", "geral", "machine-shared", s.publisher.PublicKeyText());
    s.releases.AddRelease(1, s.contents[1]);
    s.releases.AddRelease(2, s.contents[2]);
    s.Rollout("old", {Ring("geral", 1)});
    s.Rollout("new", {Ring("geral", 2)});
    ASSERT_EQ(RunUpdate(first.local.Path(), s.server.Path(), L"", first.verification).report.Refusal,
              TRefusal::None);
    ASSERT_EQ(HeldRelease(first, s.contents), 2);

    const SerialKey secondUser;
    TUpdateVerification second = first.verification;
    second.SerialKey = secondUser.Path();
    s.releases.ServeRollout(s.served["old"]);
    const Outcome outcome = RunUpdate(first.local.Path(), s.server.Path(), L"", second);
    ASSERT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.report.Refusal, TRefusal::OlderRelease) << WideToUtf8(RefusalReason(outcome.report));
    EXPECT_EQ(HeldRelease(first, s.contents), 2);
}
