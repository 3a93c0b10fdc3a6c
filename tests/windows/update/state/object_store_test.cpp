// The store's objects moved into the program folder on a real disk: only an object that is exactly
// its signed entry leaves the store, and the target is either the whole checked file with the
// release's age or what it was.
#include <gtest/gtest.h>
#include <windows.h>

#include "support/test_files.h"
#include "update/state/object_store.h"
#include "update/trust/cng.h"

namespace {

struct StoreFixture {
    TempFolder program;
    TObjectStore store{program / L"aurevia-cache"};
    std::wstring target = program / L"Admission.exe";
    const TDateTime age = LocalAge(2023, 2, 11, 11, 0, 3);

    StoreFixture() { store.Prepare(); }
    // Puts AStored in the store under the name of AContent, and the old release's file in place.
    TManifestFile Stage(const std::string& AContent, const std::string& AStored) const {
        const TManifestFile entry{"Admission.exe", AContent.size(), Sha256Of(AContent)};
        WriteWholeFile(store.ObjectPath(entry.Sha256), AStored);
        WriteFileAt(target, "release 1", LocalAge(2022, 1, 10, 10, 0, 1));
        return entry;
    }
    TObjectStore::TMove Move(const TManifestFile& AEntry, std::string* ASeen = nullptr) const {
        return store.MoveInto(AEntry, target, age, [&](const char* AData, size_t ASize) {
            if (ASeen) ASeen->append(AData, ASize);
        });
    }
    // Nothing of a move may be left beside the target.
    std::vector<std::wstring> ProgramFiles() const { return FilesUnder(program.Path()); }
};

TEST(ObjectStoreMove, AnExactObjectLeavesTheStoreForTheTargetWithTheReleasesAge) {
    StoreFixture f;
    const std::string content(3 * 256 * 1024 + 17, 'm');  // more than one read
    const TManifestFile entry = f.Stage(content, content);
    std::string seen;
    ASSERT_EQ(f.Move(entry, &seen), TObjectStore::TMove::Moved);
    EXPECT_EQ(ReadWholeFile(f.target), content);
    EXPECT_EQ(AgeOf(f.target), f.age);
    EXPECT_EQ(seen, content);
    EXPECT_FALSE(f.store.Holds(entry));
    EXPECT_EQ(f.ProgramFiles(), (std::vector<std::wstring>{L"Admission.exe"}));
    // Gone from the store: a second move finds nothing and leaves the target alone.
    EXPECT_EQ(f.Move(entry), TObjectStore::TMove::Missing);
    EXPECT_EQ(ReadWholeFile(f.target), content);
}

TEST(ObjectStoreMove, AnObjectThatIsNotItsEntryIsRemovedAndTheTargetKept) {
    const std::string content = "release 2 of the module";
    std::string flipped = content;
    flipped[0] ^= 0x20;
    const struct {
        const char* what;
        std::string stored;
    } cases[] = {
        {"same size, other bytes", flipped},
        {"shorter", content.substr(0, 5)},
        {"longer", content + "!"},
        {"empty", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StoreFixture f;
        const TManifestFile entry = f.Stage(content, c.stored);
        EXPECT_EQ(f.Move(entry), TObjectStore::TMove::Altered);
        EXPECT_EQ(ReadWholeFile(f.target), "release 1");
        EXPECT_FALSE(PathExists(f.store.ObjectPath(entry.Sha256)));
        EXPECT_EQ(f.ProgramFiles(), (std::vector<std::wstring>{L"Admission.exe"}));
    }
}

TEST(ObjectStoreMove, ATargetThatCannotBeReplacedLeavesTheObjectInTheStore) {
    const std::string content = "release 2 of the module";
    {
        StoreFixture f;
        const TManifestFile entry = f.Stage(content, content);
        const HeldOpen running(f.target);
        EXPECT_ANY_THROW(f.Move(entry));
        EXPECT_TRUE(f.store.Holds(entry));
        EXPECT_EQ(ReadWholeFile(f.store.ObjectPath(entry.Sha256)), content);
    }
    {
        StoreFixture f;
        const TManifestFile entry = f.Stage(content, content);
        SetReadOnly(f.target, true);
        EXPECT_ANY_THROW(f.Move(entry));
        SetReadOnly(f.target, false);
        EXPECT_EQ(ReadWholeFile(f.target), "release 1");
        EXPECT_TRUE(f.store.Holds(entry));
    }
}

TEST(ObjectStoreMove, AMissingObjectMovesNothing) {
    StoreFixture f;
    const TManifestFile entry{"Admission.exe", 4, Sha256Of("none")};
    WriteFileAt(f.target, "release 1", LocalAge(2022, 1, 10, 10, 0, 1));
    EXPECT_EQ(f.Move(entry), TObjectStore::TMove::Missing);
    EXPECT_EQ(ReadWholeFile(f.target), "release 1");
}

}  // namespace
