#pragma once
// Decoding messages name dates in the launcher's own format: every test here starts from it, whatever
// another test installed, and puts the previous one back.
#include <gtest/gtest.h>

#include "update/records/iso8601.h"

class LauncherDateFormatTest : public testing::Test {
  protected:
    void SetUp() override {
        FSaved = DefaultDateTimeFormat();
        SetDefaultDateTimeFormat(TDateTimeFormat{});
    }
    void TearDown() override { SetDefaultDateTimeFormat(FSaved); }

  private:
    TDateTimeFormat FSaved;
};
