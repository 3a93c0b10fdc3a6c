#include <gtest/gtest.h>

#include <string>

#include "base/string_convert.h"
#include "cases/record_cases.h"
#include "launcher_date_format.h"
#include "update/records/file_info.h"
#include "update/records/iso8601.h"

namespace {

using RecordDecoding = LauncherDateFormatTest;

template <class F>
std::string MessageOf(F&& AStep) {
    try {
        AStep();
    } catch (const Error& e) {
        return e.what();
    }
    return "(no error)";
}

TEST_F(RecordDecoding, FileRecordsFollowTheTable) {
    for (const auto& c : kFileRecordCases) {
        SCOPED_TRACE(WideToUtf8(c.json));
        if (c.error.empty()) {
            const auto record = RecordFromJSON<TFileInfoDTO>(c.json);
            ASSERT_NE(record, nullptr);
            EXPECT_EQ(record->FileName(), c.fileName);
            EXPECT_EQ(record->Age(), EncodeDateTime(c.age));
        } else {
            EXPECT_EQ(MessageOf([&] { RecordFromJSON<TFileInfoDTO>(c.json); }), c.error);
        }
    }
}

TEST_F(RecordDecoding, ErrorRecordsFollowTheTable) {
    for (const auto& c : kErrorRecordCases) {
        SCOPED_TRACE(WideToUtf8(c.json));
        if (c.failure.empty()) {
            const auto record = RecordFromJSON<TFileInfoErrorDTO>(c.json);
            ASSERT_NE(record, nullptr);
            EXPECT_EQ(record->Status(), c.status);
            EXPECT_EQ(record->Error(), c.error);
            EXPECT_EQ(record->Detail(), c.detail);
        } else {
            EXPECT_EQ(MessageOf([&] { RecordFromJSON<TFileInfoErrorDTO>(c.json); }), c.failure);
        }
    }
}

TEST_F(RecordDecoding, FailuresCarryTheirKind) {
    EXPECT_THROW(RecordFromJSON<TFileInfoDTO>(L"[]"), EConvertError);
    EXPECT_THROW(RecordFromJSON<TFileInfoDTO>(LR"({"FileName":true})"), EInvalidCast);
    EXPECT_THROW(RecordFromJSON<TFileInfoDTO>(LR"({"Age":true})"), EConvertError);
    EXPECT_THROW(RecordFromJSON<TFileInfoDTO>(LR"({"Age":"2022-01-10Tx"})"), EDateTimeException);
    EXPECT_THROW(RecordFromJSON<TFileInfoDTO>(LR"({"Age":"2022-02-30"})"), EConvertError);
}

TEST(FileInfoRecords, ConstructorsStartEmptyOrStoreTheirArguments) {
    const TFileInfoDTO empty;
    EXPECT_EQ(empty.FileName(), L"");
    EXPECT_EQ(empty.Age(), 0.0);
    const TFileInfoDTO file(L"Relatorio\\Rpt.rav", 44571.5);
    EXPECT_EQ(file.FileName(), L"Relatorio\\Rpt.rav");
    EXPECT_EQ(file.Age(), 44571.5);
    const TFileInfoErrorDTO none;
    EXPECT_EQ(none.Status(), 0);
    const TFileInfoErrorDTO refused(404, L"Not Found", L"No such folder");
    EXPECT_EQ(refused.Status(), 404);
    EXPECT_EQ(refused.Error(), L"Not Found");
    EXPECT_EQ(refused.Detail(), L"No such folder");
}

// --- file lists ---

std::string FromJSONMessage(TFilesInfoDTO& AList, std::wstring_view AJSON) {
    return MessageOf([&] { TFilesInfoDTOHelper::FromJSON(AList, AJSON); });
}

TEST(FilesInfoFromJSON, KeepsTheOrderOfTheArray) {
    TFilesInfoDTO list;
    TFilesInfoDTOHelper::FromJSON(list,
                                  LR"(
        [ {"FileName":"Relatorio\\RptB.rav","Age":"2022-01-10T14:32:05Z"},
          {"FileName":"A.dll"},
          {"FileName":"c.ini","Age":"2021-06-01T08:00:00-03:00"} ]
    )");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0]->FileName(), L"Relatorio\\RptB.rav");
    EXPECT_EQ(list[0]->Age(), EncodeDateTime({2022, 1, 10, 14, 32, 5, 0}));
    EXPECT_EQ(list[1]->FileName(), L"A.dll");
    EXPECT_EQ(list[1]->Age(), 0.0);
    EXPECT_EQ(list[2]->Age(), EncodeDateTime({2021, 6, 1, 11, 0, 0, 0}));
    TFilesInfoDTOHelper::FreeAll(list);
    EXPECT_TRUE(list.empty());

    TFilesInfoDTOHelper::FromJSON(list, L" [] ");
    EXPECT_TRUE(list.empty());
}

TEST(FilesInfoFromJSON, RejectsTextsThatAreNotAnArray) {
    struct Case {
        std::wstring_view json;
        std::string_view message;
    };
    const Case cases[] = {
        {L"", "TFilesInfoDTOHelper.FromJSON"},
        {L"   ", "TFilesInfoDTOHelper.FromJSON"},
        {L"<!DOCTYPE html><html><body>Not Found</body></html>", "TFilesInfoDTOHelper.FromJSON"},
        {L"[", "TFilesInfoDTOHelper.FromJSON"},
        {L"[] []", "TFilesInfoDTOHelper.FromJSON"},
        {L"[{\"FileName\":\"a\"},]", "TFilesInfoDTOHelper.FromJSON"},
        {L"{}", "Invalid class typecast"},
        {LR"({"error":"Not Found","status":404})", "Invalid class typecast"},
        {LR"("[]")", "Invalid class typecast"},
        {L"12", "Invalid class typecast"},
        {L"true", "Invalid class typecast"},
        {L"null", "Invalid class typecast"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.json));
        TFilesInfoDTO list;
        EXPECT_EQ(FromJSONMessage(list, c.json), c.message);
        EXPECT_TRUE(list.empty());
    }
}

TEST(FilesInfoFromJSON, AFailingElementLeavesTheRecordsBeforeIt) {
    struct Case {
        std::wstring_view json;
        std::string_view message;
    };
    const Case cases[] = {
        {LR"([{"FileName":"a"},42,{"FileName":"c"}])", "The input value is not a valid Object"},
        {LR"([{"FileName":"a"},[],{"FileName":"c"}])", "The input value is not a valid Object"},
        {LR"([{"FileName":"a"},{"FileName":"b","Age":"x"},{"FileName":"c"}])", "Invalid date string: x"},
        {LR"([{"FileName":"a"},{"Age":{"y":[1,2]}},{"FileName":"c"}])",
         R"(JSON object expected for field FAge in JSON {"y":[1,2]})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.json));
        TFilesInfoDTO list;
        EXPECT_EQ(FromJSONMessage(list, c.json), c.message);
        ASSERT_EQ(list.size(), 3u);
        ASSERT_NE(list[0], nullptr);
        EXPECT_EQ(list[0]->FileName(), L"a");
        EXPECT_EQ(list[1], nullptr);
        EXPECT_EQ(list[2], nullptr);
        TFilesInfoDTOHelper::FreeAll(list);
        EXPECT_TRUE(list.empty());
    }
}

TEST(FilesInfoFromJSON, ATextThatIsNotJSONFailsAsSuchEvenAfterABadElement) {
    TFilesInfoDTO list;
    EXPECT_EQ(FromJSONMessage(list, LR"([{"FileName":"a"},42,{"FileName":"c"})"),
              "TFilesInfoDTOHelper.FromJSON");
    EXPECT_TRUE(list.empty());
}

TEST(FilesInfoFromJSON, DeepNestingIsReadWithoutExhaustingTheStack) {
    const size_t depth = 200'000;
    const std::wstring nested = std::wstring(depth, L'[') + std::wstring(depth, L']');
    TFilesInfoDTO list;
    EXPECT_EQ(FromJSONMessage(list, nested), "The input value is not a valid Object");
    EXPECT_EQ(FromJSONMessage(list, L"[{\"x\":" + nested + L",\"FileName\":\"a\"}]"), "(no error)");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]->FileName(), L"a");
    const std::string message =
        MessageOf([&] { RecordFromJSON<TFileInfoDTO>(L"{\"Age\":" + nested + L"}"); });
    EXPECT_EQ(message.size(), std::string("JSON object expected for field FAge in JSON ").size() + 2 * depth);
}

}  // namespace
