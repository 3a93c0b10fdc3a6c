#include "update/plan/planned_install.h"

#include <optional>

#include "update/plan/fetch_into_file.h"
#include "update/stream/fetch_observers.h"
#include "update/trust/content_verifier.h"

TInstallOutcome InstallPlannedFile(IUpdateSource& ASource, const TPlannedFile& AFile,
                                   const std::wstring& ATarget, TDateTime AAge, std::string* AWhy,
                                   IFetchObserver* AObserver, const std::function<void()>& ABeforeSwap) {
    std::optional<TContentVerifier> verifier;
    TFetchObservers observers;
    // The check goes first: a body that runs past its size is cut before anything else counts it.
    if (AFile.Expected) observers.Add(verifier.emplace(*AFile.Expected));
    if (AObserver) observers.Add(*AObserver);
    try {
        FetchIntoFile(
            ASource, AFile.RemoteName, ATarget, AAge, observers,
            [&] {
                if (verifier) verifier->Finish();
                if (ABeforeSwap) ABeforeSwap();
            },
            AFile.Deflated);
        return TInstallOutcome::Installed;
    } catch (const std::exception& e) {
        if (AWhy) *AWhy = e.what();
        return verifier && verifier->Altered() ? TInstallOutcome::Altered : TInstallOutcome::Failed;
    }
}
