#include <gtest/gtest.h>

#include "base/string_convert.h"
#include "base/win32_error.h"

TEST(Win32Error, CarriesTheSystemText) {
    const Win32Error e(ERROR_PATH_NOT_FOUND, TErrorCategory::Disk);
    EXPECT_EQ(e.code(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(e.Code(), Win32Code(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(e.Category(), TErrorCategory::Disk);
    EXPECT_FALSE(SystemErrorText(ERROR_PATH_NOT_FOUND).empty());
    EXPECT_EQ(Utf8ToWide(e.what()), SystemErrorText(ERROR_PATH_NOT_FOUND));
}
