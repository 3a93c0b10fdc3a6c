#pragma once
// File records and the service's error record, the file list that owns file records, and their
// decoding from the file service's JSON. Portable: no windows.h.
//
// JSON form: a record is an object whose members map to the fields named like them with an "F" in
// front, the letters compared without regard to ASCII case (age, AGE and Age all reach FAge).
// Date-time members are ISO 8601 texts read with UTC kept (update/iso8601.h).
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/date_time.h"
#include "update/records/decode_errors.h"

// One field a JSON member can reach: its name (with the leading F) and where it lives in the record.
template <class T>
struct TJSONField {
    std::string_view Name;
    std::variant<std::wstring T::*, int32_t T::*, TDateTime T::*> Target;
};

// A file's name relative to a listed root (e.g. Relatorio\RptScheduling.rav) and its last-write time.
class TFileInfoDTO {
  public:
    TFileInfoDTO() = default;  // empty name, age 0 (30 December 1899 00:00)
    TFileInfoDTO(std::wstring AFileName, TDateTime AAge) : FAge(AAge), FFileName(std::move(AFileName)) {}

    const std::wstring& FileName() const { return FFileName; }
    void SetFileName(std::wstring AFileName) { FFileName = std::move(AFileName); }
    TDateTime Age() const { return FAge; }
    void SetAge(TDateTime AAge) { FAge = AAge; }

    static std::span<const TJSONField<TFileInfoDTO>> JSONFields();

  private:
    TDateTime FAge = 0;
    std::wstring FFileName;
};

// The file service's answer to a refused request. Status 0 means no error.
class TFileInfoErrorDTO {
  public:
    TFileInfoErrorDTO() = default;
    TFileInfoErrorDTO(int32_t AStatus, std::wstring AError, std::wstring ADetail)
        : FError(std::move(AError)), FStatus(AStatus), FDetail(std::move(ADetail)) {}

    const std::wstring& Error() const { return FError; }
    void SetError(std::wstring AError) { FError = std::move(AError); }
    int32_t Status() const { return FStatus; }
    void SetStatus(int32_t AStatus) { FStatus = AStatus; }
    const std::wstring& Detail() const { return FDetail; }
    void SetDetail(std::wstring ADetail) { FDetail = std::move(ADetail); }

    static std::span<const TJSONField<TFileInfoErrorDTO>> JSONFields();

  private:
    std::wstring FError;
    int32_t FStatus = 0;
    std::wstring FDetail;
};

// The file list: its holder owns the records. A position may hold no record (nullptr), which is
// what a failed FromJSON leaves from the failing element on.
using TFilesInfoDTO = std::vector<std::unique_ptr<TFileInfoDTO>>;

struct TFilesInfoDTOHelper {
    // Fills AList (expected empty) from the text of a JSON array of file records, in order.
    // Raises EJSONError "TFilesInfoDTOHelper.FromJSON" when the text holds no JSON value,
    // EInvalidCast "Invalid class typecast" for a value other than an array, and the record
    // decoding's errors for a bad element; the records decoded before that element stay in AList.
    static void FromJSON(TFilesInfoDTO& AList, std::wstring_view AJSON);
    // Releases every record, skipping empty positions, and leaves the list empty.
    static void FreeAll(TFilesInfoDTO& AList);
};

// Decodes the JSON text of one object into a new record of class T (TFileInfoDTO or
// TFileInfoErrorDTO). Raises EConvertError "The input value is not a valid Object" when the text is
// not an object (empty and non-JSON text included), and the member errors of the value table.
template <class T>
std::unique_ptr<T> RecordFromJSON(std::wstring_view AJSON);

extern template std::unique_ptr<TFileInfoDTO> RecordFromJSON<TFileInfoDTO>(std::wstring_view);
extern template std::unique_ptr<TFileInfoErrorDTO> RecordFromJSON<TFileInfoErrorDTO>(std::wstring_view);
