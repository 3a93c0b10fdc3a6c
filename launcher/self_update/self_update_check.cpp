#include "launcher/self_update/self_update_check.h"

#include "dialogs/message_dialogs.h"
#include "launcher/guard/instance_registration.h"
#include "launcher/self_update/self_update.h"

namespace {

// Process-wide, UI thread only. A check must not start inside one of its own notices (their modal
// loop lets activations through), nor after this process has replaced its executable: from then on
// the version read for "Aurevia.EXE" may be that of the running image, which the module loader
// hands back for the same path, and a second swap would fail against the running "Aurevia.OLD".
enum class TCheckState { Idle, Running, Replaced };
TCheckState gCheckState = TCheckState::Idle;

}  // namespace

void CheckSelfUpdateOnce(const std::wstring& AServerFolder, const TUpdateVerification& AVerification,
                         const std::function<void()>& AQuit) {
    if (gCheckState != TCheckState::Idle) return;
    gCheckState = TCheckState::Running;
    struct BackToIdle {
        ~BackToIdle() {
            if (gCheckState == TCheckState::Running) gCheckState = TCheckState::Idle;
        }
    } backToIdle;
    const TSelfUpdateOutcome outcome = ReplaceLauncherFromServer(AServerFolder, AVerification);
    if (outcome == TSelfUpdateOutcome::Replaced) gCheckState = TCheckState::Replaced;
    switch (outcome) {
        case TSelfUpdateOutcome::UpToDate:
            return;
        case TSelfUpdateOutcome::CopyFailed:
            NoticeBox(L"Copia de arquivo falhou! Tente novamente!");
            return;
        case TSelfUpdateOutcome::Replaced:
            NoticeBox(L"Aplicação atualizada com sucesso!");
            AQuit();
            // The successor starts while this process is still ending: out of the registries first,
            // or its guard would take it for a second start and end it.
            LeaveInstanceRegistries();
            StartLocalLauncher();
            return;
    }
}
