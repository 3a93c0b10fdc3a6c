// A swap is flushed, then renamed with write-through: stopped between the two, the target keeps its
// complete old file and the temporary its complete new one.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "base/error.h"
#include "tests/support/test_files.h"
#include "update/disk/file_operations.h"

TEST(DurableSwap, RenameStoppedAfterTheFlushLeavesTheCompleteOldFile) {
    TempFolder dir;
    const std::string old(300'000, 'o'), fresh(500'000, 'n');
    WriteWholeFile(dir / L"gds32.dll", old);
    const std::wstring temporary = TemporaryNameBeside(dir / L"gds32.dll");
    WriteWholeFile(temporary, fresh);
    {
        // A module holding the target makes the rename fail once the flush is done.
        const HeldOpen running(dir / L"gds32.dll");
        EXPECT_THROW(ReplaceWithTemporary(temporary, dir / L"gds32.dll"), Error);
    }
    // Compared whole, not printed: the contents are large.
    EXPECT_TRUE(ReadWholeFile(dir / L"gds32.dll") == old);
    EXPECT_TRUE(ReadWholeFile(temporary) == fresh);
    ReplaceWithTemporary(temporary, dir / L"gds32.dll");
    EXPECT_TRUE(ReadWholeFile(dir / L"gds32.dll") == fresh);
    EXPECT_FALSE(PathExists(temporary));
}

TEST(DurableSwap, AReadOnlyFileIsFlushedAndStaysReadOnly) {
    TempFolder dir;
    WriteWholeFile(dir / L"copy.tmp", "content");
    SetReadOnly(dir / L"copy.tmp", true);
    FlushFileToDisk(dir / L"copy.tmp");
    EXPECT_TRUE(GetFileAttributesW((dir / L"copy.tmp").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(ReadWholeFile(dir / L"copy.tmp"), "content");
    EXPECT_THROW(FlushFileToDisk(dir / L"missing.tmp"), Error);
}
