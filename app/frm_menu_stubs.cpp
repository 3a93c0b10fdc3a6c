// Handlers whose work lives elsewhere; each moves into its own file when it is built.
#include "app/frm_menu.h"

// Launcher self-update.
void TFrmMenu::CheckSelfUpdate() {}
std::wstring TFrmMenu::FileVersionOf(const std::wstring&) { return {}; }
int64_t TFrmMenu::FileSizeOf(const std::wstring&) { return -1; }

// Support tools and mail.
void TFrmMenu::imgSuporteRemoto1Click(TImage*) {}
void TFrmMenu::imgSuporteRemoto2Click(TImage*) {}
void TFrmMenu::imgEmailClick(TImage*) {}
void TFrmMenu::CopyFromServer(const std::wstring&, const std::wstring&, const std::wstring&) {}
