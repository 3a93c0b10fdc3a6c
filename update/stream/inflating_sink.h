#pragma once
// A deflated object's bytes (a zlib stream) inflated on their way into another sink, bounded by the
// signed sizes: the inflated content may not run past its size (the bomb is stopped once size + 1
// bytes came out, before any of them reaches the inner sink), and the deflated body may not run past
// its own size (a stream of empty blocks inflates to nothing and would otherwise never end). The
// observer sees the inflated bytes, as it would see the plain object's, so the content check and
// the progress count what the file holds. Portable. Runs on the fetching thread; one per fetch.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/error.h"
#include "update/stream/byte_sink_interface.h"
#include "update/stream/fetch_observer.h"

// The deflated object cannot be inflated (not a zlib stream, cut short, data after its end, longer
// than signed): the plain object holds the same content, so the caller may fetch that instead.
class TInflateError final : public Error {
  public:
    explicit TInflateError(const std::string& AMessage) : Error(AMessage, TErrorCategory::Fetch) {}
};

class TInflatingSink final : public IByteSink {
  public:
    // AName names the file in messages. AInner and AObserver (may be null) are not owned.
    TInflatingSink(IByteSink& AInner, IFetchObserver* AObserver, uint64_t AInflatedSize,
                   uint64_t ADeflatedSize, std::string AName);
    ~TInflatingSink() override;
    TInflatingSink(const TInflatingSink&) = delete;
    TInflatingSink& operator=(const TInflatingSink&) = delete;

    // AOffset and ATotal count deflated bytes. A cut body continues where the inflater stopped: its
    // state is still here, so the inner sink and the observer continue at the inflated length.
    void Begin(uint64_t AOffset, std::optional<uint64_t> ATotal) override;
    // Raises TInflateError for a stream that cannot be inflated, Error(Altered) for one that inflates
    // past the signed size.
    void Write(const char* AData, size_t ASize) override;
    // Once the transport has delivered the body: raises TInflateError unless the stream ended, and
    // Error(Altered) when it ended short of the signed size.
    void Finish();

    uint64_t Inflated() const { return FInflated; }

  private:
    void Restart();
    [[noreturn]] void Unreadable(const std::string& AWhy) const;

    struct TStream;
    IByteSink& FInner;
    IFetchObserver* FObserver;
    uint64_t FInflatedSize, FDeflatedSize;
    std::string FName;
    std::unique_ptr<TStream> FStream;
    uint64_t FDeflated = 0, FInflated = 0;
    bool FEnded = false;
};
