// The menu window's self-update check: runs on the UI thread inside FormActivate.
#include "launcher/self_update/launcher_files.h"
#include "launcher/self_update/self_update_check.h"
#include "launcher/window/frm_menu.h"

void TFrmMenu::CheckSelfUpdate() {
    CheckSelfUpdateOnce(wCaminhoServidor, FVerification, [this] {
        wfecha = true;
        Close();
    });
}

std::wstring TFrmMenu::FileVersionOf(const std::wstring& AFileName) { return ::FileVersionOf(AFileName); }

int64_t TFrmMenu::FileSizeOf(const std::wstring& AFileName) { return ::FileSizeOf(AFileName); }
