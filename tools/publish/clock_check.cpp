#include "tools/publish/clock_check.h"

#include <algorithm>
#include <cstdio>

#include "tools/publish/publish_error.h"
#include "common/instant.h"

namespace publish {

void CheckClock(int64_t now, int64_t expiresUnix, const SigningEvidence& evidence, bool force) {
    std::string problem;
    if (evidence.Unix > 0 && now + kClockSlackSeconds < evidence.Unix)
        problem = "The clock reads " + UtcText(Instant{now}) + ", but " + evidence.What + " was signed at " +
                  UtcText(Instant{evidence.Unix}) +
                  ": the clock is behind, and what is signed now would expire early "
                  "or be expired already";
    else if (expiresUnix != 0 && expiresUnix <= std::max(now, evidence.Unix))
        problem =
            "The new document would expire at " + UtcText(Instant{expiresUnix}) + ", which is already past";
    if (problem.empty()) return;
    if (!force)
        throw PublishError(ExitStatus::Failed,
                           problem +
                               ". Nothing was changed. Set the clock right and run the command again, or "
                               "give --force to sign with this clock anyway");
    std::fprintf(stderr, "aurevia-publish: warning: %s (--force given: signing anyway)\n", problem.c_str());
}

}  // namespace publish
