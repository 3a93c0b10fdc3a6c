#include "update/records/file_info.h"

#include <array>

std::span<const TJSONField<TFileInfoDTO>> TFileInfoDTO::JSONFields() {
    static const std::array<TJSONField<TFileInfoDTO>, 2> fields{{
        {"FAge", &TFileInfoDTO::FAge},
        {"FFileName", &TFileInfoDTO::FFileName},
    }};
    return fields;
}

std::span<const TJSONField<TFileInfoErrorDTO>> TFileInfoErrorDTO::JSONFields() {
    static const std::array<TJSONField<TFileInfoErrorDTO>, 3> fields{{
        {"FError", &TFileInfoErrorDTO::FError},
        {"FStatus", &TFileInfoErrorDTO::FStatus},
        {"FDetail", &TFileInfoErrorDTO::FDetail},
    }};
    return fields;
}

void TFilesInfoDTOHelper::FreeAll(TFilesInfoDTO& AList) { AList.clear(); }
