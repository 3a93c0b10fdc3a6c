#pragma once
// Where a fetch puts what it receives: a file the caller opened, or memory up to a bound. The
// transports (the share copy, the HTTP client) write into a sink and know nothing of what is behind
// it, so a small document such as the release manifest goes to memory and never touches the disk.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "update/stream/byte_sink_interface.h"

// Writes into an open file (not owned), from its start; Begin cuts the file back to the offset.
class TFileSink final : public IByteSink {
  public:
    explicit TFileSink(HANDLE AFile) : FFile(AFile) {}
    void Begin(uint64_t AOffset, std::optional<uint64_t> ATotal) override;
    void Write(const char* AData, size_t ASize) override;
    uint64_t Written() const { return FWritten; }

  private:
    HANDLE FFile;
    uint64_t FWritten = 0;
};

// Keeps what arrives in memory, at most ALimit bytes: an announced total or a body past the limit
// raises Error(ATooLarge) before the excess is kept, so a hostile source cannot grow it.
class TMemorySink final : public IByteSink {
  public:
    TMemorySink(uint64_t ALimit, std::string ATooLarge) : FLimit(ALimit), FTooLarge(std::move(ATooLarge)) {}
    void Begin(uint64_t AOffset, std::optional<uint64_t> ATotal) override;
    void Write(const char* AData, size_t ASize) override;
    const std::string& Bytes() const { return FBytes; }
    std::string Take() { return std::move(FBytes); }

  private:
    uint64_t FLimit;
    std::string FTooLarge;
    std::string FBytes;
};
