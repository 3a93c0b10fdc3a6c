// The tile catalogue and the update-then-launch flow.
#include "app/frm_menu.h"

void TFrmMenu::BuildCatalogue() {}
void TFrmMenu::imgClick(TImage*) {}
void TFrmMenu::SelectModule(const std::wstring&, bool) {}
void TFrmMenu::RunUpdate(const std::wstring&, bool, void (TFrmMenu::*)()) {}
void TFrmMenu::StartBusy() {}
void TFrmMenu::StopBusy() {}
void TFrmMenu::LaunchSelectedModule() {}
void TFrmMenu::Timer1Timer() {}
