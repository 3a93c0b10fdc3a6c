// The real menu window built in this process: its frame, every component at its rectangle and in
// its z-order, the busy panel, the records FormCreate fills.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>

#include "launcher/window/application.h"
#include "launcher/window/frm_menu.h"
#include "launcher/catalogue/startup_record.h"

namespace {

class MenuWindow : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!Application.Handle()) {
            Application.Initialize(GetModuleHandleW(nullptr));
            Application.SetTitle(L"Aurevia");
        }
        form = std::make_unique<TFrmMenu>();
    }
    static void TearDownTestSuite() { form.reset(); }
    static std::unique_ptr<TFrmMenu> form;
};
std::unique_ptr<TFrmMenu> MenuWindow::form;

RECT ChildRect(HWND AChild) {
    RECT r;
    GetWindowRect(AChild, &r);
    MapWindowPoints(nullptr, GetParent(AChild), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

}  // namespace

TEST_F(MenuWindow, FrameIsAFixedDialogWithOnlyACloseButtonAndTheDesignClientSize) {
    ASSERT_EQ(form->Dpi(), 96) << "the rectangles below are those of 96 dpi";
    RECT client;
    GetClientRect(form->Handle(), &client);
    EXPECT_EQ(client.right, 1018);
    EXPECT_EQ(client.bottom, 708);
    const LONG_PTR style = GetWindowLongPtrW(form->Handle(), GWL_STYLE);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_EQ(form->Caption(), L"Aurevia Solenne [2022.01.00]");
    // The application window exists, hidden, and is not the menu window's owner.
    wchar_t cls[64];
    GetClassNameW(Application.Handle(), cls, 64);
    EXPECT_STREQ(cls, L"AureviaApplication");
    EXPECT_EQ(GetWindow(form->Handle(), GW_OWNER), nullptr);
}

TEST_F(MenuWindow, ComponentsLieAtTheirRectanglesInLayoutOrder) {
    struct Expected {
        const wchar_t* name;
        RECT rect;  // left, top, width, height
        bool hand, popup, picture;
    };
    const Expected expected[] = {
        {L"Image1", {-1, 0, 1018, 708}, false, true, true},
        {L"imgInternacao", {27, 144, 476, 75}, true, true, true},
        {L"imgProntuario", {27, 232, 317, 75}, true, true, true},
        {L"imgAgendaConsulta", {514, 144, 476, 75}, true, true, true},
        {L"imgAtendimento", {673, 232, 317, 75}, true, true, true},
        {L"imgAgenCirurgia", {27, 336, 114, 122}, true, true, true},
        {L"imgEstoque", {169, 336, 114, 122}, true, true, true},
        {L"imgSND", {310, 334, 114, 122}, true, true, true},
        {L"imgGlosa", {27, 468, 114, 122}, true, true, true},
        {L"imgSame", {169, 468, 114, 122}, true, true, true},
        {L"imgCusto", {310, 468, 114, 122}, true, true, true},
        {L"imgCompras", {452, 335, 114, 122}, true, true, true},
        {L"imgControlEquip", {452, 468, 114, 122}, true, true, true},
        {L"imgExames", {593, 334, 114, 122}, true, true, true},
        {L"imgContrlDoenca", {593, 468, 114, 122}, true, true, true},
        {L"imgControlProntuario", {737, 468, 114, 122}, true, true, true},
        {L"imgFinanceiro", {737, 336, 114, 122}, true, true, true},
        {L"imgFaturamento", {876, 336, 114, 122}, true, true, true},
        {L"imgTelemarketing", {876, 468, 114, 122}, true, true, true},
        {L"imgSuporteRemoto1", {694, 648, 39, 41}, true, true, false},
        {L"imgSuporteRemoto2", {815, 646, 48, 44}, true, true, false},
        {L"imgEmail", {928, 636, 47, 37}, true, true, false},
        {L"imgAdmSistema", {191, 653, 194, 30}, true, true, false},
        {L"imgCadGeral", {31, 653, 138, 30}, true, true, false},
        {L"imgAeC", {331, 12, 349, 100}, false, false, false},
        {L"imgCheckBeiraLeito", {350, 232, 317, 75}, true, true, true},
    };
    form->WaitForPictures();
    const auto images = form->Images();
    ASSERT_EQ(images.size(), std::size(expected));
    for (size_t i = 0; i < images.size(); ++i) {
        const Expected& e = expected[i];
        const TImage& image = *images[i];
        EXPECT_STREQ(image.Name, e.name) << "position " << i;
        const RECT r = form->ScaledRect(image);
        EXPECT_EQ(r.left, e.rect.left) << e.name;
        EXPECT_EQ(r.top, e.rect.top) << e.name;
        EXPECT_EQ(r.right - r.left, e.rect.right) << e.name;
        EXPECT_EQ(r.bottom - r.top, e.rect.bottom) << e.name;
        EXPECT_EQ(image.HandCursor, e.hand) << e.name;
        EXPECT_EQ(image.Popup, e.popup) << e.name;
        EXPECT_EQ(static_cast<bool>(image.Picture), e.picture) << e.name << " picture (resources linked in?)";
        // The centre of each component hits that component unless a later one lies above it.
        POINT centre{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
        const TImage* hit = form->ComponentAt(centre);
        bool covered = false;
        for (size_t j = i + 1; j < images.size(); ++j) {
            const RECT above = form->ScaledRect(*images[j]);
            covered = covered || PtInRect(&above, centre);
        }
        if (!covered) {
            EXPECT_EQ(hit, &image) << e.name;
        }
    }
    EXPECT_EQ(form->ComponentAt(POINT{500, 60}), &form->imgAeC) << "the logo lies above the background";
}

TEST_F(MenuWindow, BusyPanelIsAVisibleChildAboveThePicturesWithItsStillIndicator) {
    HWND panel = form->pnlTemporizador.Handle();
    const RECT r = ChildRect(panel);
    EXPECT_EQ(r.left, 302);
    EXPECT_EQ(r.top, 285);
    EXPECT_EQ(r.right - r.left, 369);
    EXPECT_EQ(r.bottom - r.top, 143);
    // Over imgSND's rectangle the panel, a window, takes the mouse.
    EXPECT_EQ(ChildWindowFromPoint(form->Handle(), POINT{350, 400}), panel);
    const RECT indicator = ChildRect(form->aciTemporizador.Handle());
    EXPECT_EQ(indicator.left, 159);
    EXPECT_EQ(indicator.top, 19);
    EXPECT_EQ(indicator.right - indicator.left, 48);
    EXPECT_EQ(indicator.bottom - indicator.top, 48);
    EXPECT_FALSE(form->aciTemporizador.Animating());

    form->aciTemporizador.Start();
    EXPECT_TRUE(form->aciTemporizador.Animating());
    EXPECT_EQ(form->aciTemporizador.Frame(), 0);
    form->aciTemporizador.Stop();
    EXPECT_FALSE(form->aciTemporizador.Animating());
}

TEST_F(MenuWindow, FormCreateFillsTheStartupRecordAndTheTrayRecord) {
    EXPECT_EQ(StartupInfo.cb, sizeof(STARTUPINFOW));
    EXPECT_EQ(StartupInfo.dwFlags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
    EXPECT_EQ(StartupInfo.wShowWindow, SW_SHOWNORMAL);
    EXPECT_EQ(StartupInfo.lpDesktop, nullptr);
    EXPECT_EQ(StartupInfo.hStdInput, nullptr);

    // The tray icon waits for the window's first show, which posts the notice that adds it.
    SendMessageW(form->Handle(), TFrmMenu::WM_AFTERSHOW, 0, 0);
    EXPECT_EQ(form->TrayIconData.cbSize, sizeof(NOTIFYICONDATAW));
    EXPECT_EQ(form->TrayIconData.hWnd, form->Handle());
    EXPECT_EQ(form->TrayIconData.uID, 0u);
    EXPECT_EQ(form->TrayIconData.uFlags, 7u);
    EXPECT_EQ(form->TrayIconData.uCallbackMessage, 1025u);
    EXPECT_STREQ(form->TrayIconData.szTip, L"Aurevia");
    EXPECT_FALSE(form->wfecha);
    EXPECT_EQ(form->imgAeC.Hint.find(L'\n'), std::wstring::npos) << "the contact line breaks with a lone CR";
    EXPECT_NE(form->imgAeC.Hint.find(L"Telefone : "), std::wstring::npos);
    EXPECT_EQ(form->imgEmail.Hint.rfind(L"e-mail : ", 0), 0u);
    EXPECT_EQ(form->FLocalPath.back(), L'\\');
    EXPECT_EQ(form->wCaminhoServidor, form->FRemotePath);
}

TEST_F(MenuWindow, CatalogueNamesTheModuleOfEveryTileThatStartsOne) {
    struct Row {
        const TImage* tile;
        const wchar_t* module;
        bool additional;
    };
    const Row rows[] = {
        {&form->imgInternacao, L"Admission.exe", true},
        {&form->imgAgendaConsulta, L"Scheduling.exe", true},
        {&form->imgProntuario, L"Prescribing.exe", true},
        {&form->imgAtendimento, L"UrgentCare.exe", true},
        {&form->imgAgenCirurgia, L"SurgeryPlanner.exe", true},
        {&form->imgEstoque, L"Inventory.exe", true},
        {&form->imgSND, L"Dietetics.exe", true},
        {&form->imgCompras, L"Purchasing.exe", true},
        {&form->imgExames, L"LabTests.exe", true},
        {&form->imgFinanceiro, L"Treasury.exe", true},
        {&form->imgFaturamento, L"Invoicing.exe", true},
        {&form->imgGlosa, L"ClaimDenials.exe", true},
        {&form->imgSame, L"RecordsArchive.exe", true},
        {&form->imgCusto, L"CostAccounting.exe", true},
        {&form->imgControlEquip, L"EquipmentCare.exe", true},
        {&form->imgContrlDoenca, L"DiseaseWatch.exe", true},
        {&form->imgControlProntuario, L"ChartTracking.exe", true},
        {&form->imgTelemarketing, L"ContactCenter.exe", true},
        {&form->imgCheckBeiraLeito, L"BedsideCheck.exe", true},
        {&form->imgAdmSistema, L"SystemAdmin.exe", true},
        {&form->imgCadGeral, L"MasterData.exe", true},
        {&form->imgSuporteRemoto1, L"TeamViewerQS_pt.exe", false},
        {&form->imgSuporteRemoto2, L"Supremo.exe", false},
    };
    EXPECT_EQ(form->FModuleOptions.Count(), std::size(rows));
    for (const Row& row : rows) {
        TModuleInfo info;
        ASSERT_TRUE(form->FModuleOptions.TryGetModule(row.tile, info)) << row.module;
        EXPECT_EQ(info.FModuleName, row.module);
        EXPECT_EQ(info.FAdditionalFiles, row.additional) << row.module;
    }
    // Every component whose click is the shared tile click has an entry; nothing else but the two
    // support areas has one.
    for (TImage* image : form->Images()) {
        TModuleInfo info;
        const bool listed = form->FModuleOptions.TryGetModule(image, info);
        const bool support = image == &form->imgSuporteRemoto1 || image == &form->imgSuporteRemoto2;
        EXPECT_EQ(listed, image->OnClick == &TFrmMenu::imgClick || support) << image->Name;
    }
}

TEST_F(MenuWindow, MonitorWithAnotherDpiScalesTheClientAreaTheComponentsAndThePanel) {
    const auto moveTo = [&](int ADpi) {
        RECT frame{0, 0, MulDiv(1018, ADpi, 96), MulDiv(708, ADpi, 96)};
        AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(form->Handle(), GWL_STYLE)),
                                 FALSE, static_cast<DWORD>(GetWindowLongPtrW(form->Handle(), GWL_EXSTYLE)),
                                 ADpi);
        OffsetRect(&frame, 10 - frame.left, 10 - frame.top);
        SendMessageW(form->Handle(), WM_DPICHANGED, MAKEWPARAM(ADpi, ADpi), reinterpret_cast<LPARAM>(&frame));
    };
    // 108 dpi (112.5 %): the scaled window still fits the test screen; the platform caps a window
    // at the screen's size.
    moveTo(108);
    EXPECT_EQ(form->Dpi(), 108);
    RECT client;
    GetClientRect(form->Handle(), &client);
    EXPECT_EQ(client.right, 1145);
    EXPECT_EQ(client.bottom, 797);
    const RECT tile = form->ScaledRect(form->imgFaturamento);  // 876, 336, 114 x 122 at 96 dpi
    EXPECT_EQ(tile.left, 986);
    EXPECT_EQ(tile.top, 378);
    EXPECT_EQ(tile.right - tile.left, 128);
    EXPECT_EQ(tile.bottom - tile.top, 137);
    EXPECT_EQ(form->ComponentAt(POINT{986 + 64, 378 + 68}), &form->imgFaturamento);
    const RECT panel = ChildRect(form->pnlTemporizador.Handle());
    EXPECT_EQ(panel.left, 340);
    EXPECT_EQ(panel.top, 321);
    EXPECT_EQ(panel.right - panel.left, 415);
    EXPECT_EQ(panel.bottom - panel.top, 161);
    const RECT indicator = ChildRect(form->aciTemporizador.Handle());
    EXPECT_EQ(indicator.right - indicator.left, 54);

    moveTo(96);
    GetClientRect(form->Handle(), &client);
    EXPECT_EQ(client.right, 1018);
    EXPECT_EQ(ChildRect(form->pnlTemporizador.Handle()).left, 302);
}

TEST_F(MenuWindow, ShellRestartAddsTheTrayIconAgainAndARepeatedNoticeKeepsIt) {
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    // The icon waits for the window's first show, which posts the notice that adds it.
    SendMessageW(form->Handle(), TFrmMenu::WM_AFTERSHOW, 0, 0);
    ASSERT_TRUE(form->TrayIconCriado) << "the first add failed here";
    // A restarted shell has no icon: the notice adds it.
    Shell_NotifyIconW(NIM_DELETE, &form->TrayIconData);
    SendMessageW(form->Handle(), taskbarCreated, 0, 0);
    EXPECT_TRUE(form->TrayIconCriado);
    EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &form->TrayIconData)) << "the icon is there again";
    // The same notice while the icon is still there leaves it in place.
    SendMessageW(form->Handle(), taskbarCreated, 0, 0);
    EXPECT_TRUE(form->TrayIconCriado);
    EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &form->TrayIconData));
}
