#include "update/stream/byte_sink.h"

#include <algorithm>

#include "base/error.h"
#include "base/win32_error.h"

void TFileSink::Begin(uint64_t AOffset, std::optional<uint64_t>) {
    if (AOffset > FWritten)
        throw Error("a continued fetch whose start was not written", TErrorCategory::Fetch);
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(AOffset);
    if (!SetFilePointerEx(FFile, position, nullptr, FILE_BEGIN) || !SetEndOfFile(FFile))
        ThrowLastError(TErrorCategory::Disk);
    FWritten = AOffset;
}

void TFileSink::Write(const char* AData, size_t ASize) {
    while (ASize > 0) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(ASize, 1u << 30));
        if (!WriteFile(FFile, AData, chunk, &written, nullptr) || written == 0)
            ThrowLastError(TErrorCategory::Disk);
        AData += written;
        ASize -= written;
        FWritten += written;
    }
}

void TMemorySink::Begin(uint64_t AOffset, std::optional<uint64_t> ATotal) {
    if (AOffset > FBytes.size())
        throw Error("a continued fetch whose start was not kept", TErrorCategory::Fetch);
    if (ATotal && *ATotal > FLimit) throw Error(FTooLarge, TErrorCategory::TooLarge);
    FBytes.resize(static_cast<size_t>(AOffset));
}

void TMemorySink::Write(const char* AData, size_t ASize) {
    if (ASize > FLimit - FBytes.size()) throw Error(FTooLarge, TErrorCategory::TooLarge);
    FBytes.append(AData, ASize);
}
