#pragma once
// The tool signs with the machine's clock: serials that follow it and expiries counted from it. A
// clock set back (a dead CMOS battery, a wrong time zone, a test left running under faketime) would
// sign documents that expire before they are ever served, or that are already expired. The server
// itself shows how late it has been: the newest signing it holds. A clock behind that is refused.
#include <cstdint>
#include <string>

namespace publish {

// How far the clock may lag the server's newest signing (another machine's clock on a share).
inline constexpr int64_t kClockSlackSeconds = 10 * 60;

struct SigningEvidence {
    int64_t Unix = 0;  // 0: nothing known
    std::string What;  // what showed it, for the message
    void Consider(int64_t unix, std::string what) {
        if (unix > Unix) {
            Unix = unix;
            What = std::move(what);
        }
    }
};

// Raises PublishError(Failed) unless `force` when `now` lies more than the slack before the
// evidence, or when `expiresUnix` (the new document's expiry; 0 for none) is not after both.
void CheckClock(int64_t now, int64_t expiresUnix, const SigningEvidence& evidence, bool force);

}  // namespace publish
