// The menu window's self-update check: runs on the UI thread inside FormActivate.
#include "app/self_update.h"

#include "app/frm_menu.h"
#include "app/launcher_files.h"
#include "app/single_instance.h"
#include "dialogs/message_dialogs.h"

void TFrmMenu::CheckSelfUpdate() {
    switch (ReplaceLauncherFromServer(wCaminhoServidor)) {
        case TSelfUpdateOutcome::UpToDate:
            return;
        case TSelfUpdateOutcome::CopyFailed:
            NoticeBox(L"Copia de arquivo falhou! Tente novamente!");
            return;
        case TSelfUpdateOutcome::Replaced:
            NoticeBox(L"Aplicação atualizada com sucesso!");
            wfecha = true;
            Close();
            // The successor starts while this process is still ending: out of the registries first,
            // or its guard would take it for a second start and end it.
            LeaveInstanceRegistries();
            StartLocalLauncher();
            return;
    }
}

std::wstring TFrmMenu::FileVersionOf(const std::wstring& AFileName) { return ::FileVersionOf(AFileName); }

int64_t TFrmMenu::FileSizeOf(const std::wstring& AFileName) { return ::FileSizeOf(AFileName); }
