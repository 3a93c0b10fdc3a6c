#pragma once
// The launcher's one window: the menu of module tiles over the background picture, the busy panel,
// the tray icon and the popup menu. One instance, created at start-up and kept until the program
// ends; everything here runs on the UI thread.
#include <windows.h>
#include <shellapi.h>

#include <array>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "launcher/window/busy_panel.h"
#include "launcher/window/components.h"
#include "launcher/catalogue/module_options.h"
#include "launcher/window/tile_layout.h"
#include "launcher/window/tray_icon.h"
#include "launcher/window/update_queue.h"
#include "base/date_time.h"
#include "base/handles.h"
#include "update/transport/rest_client.h"
#include "update/plan/update_verification.h"
#include "update/trust/rollout_state.h"

class TFrmMenu {
  public:
    static constexpr const wchar_t* kWindowClass = L"AureviaMenu";
    static constexpr UINT WM_TRAYICON = WM_USER + 1;
    // Posted once the window is first shown (see Show).
    static constexpr UINT WM_AFTERSHOW = WM_USER + 2;
    static constexpr int kClientWidth = 1018;
    static constexpr int kClientHeight = 708;
    static constexpr const wchar_t* kCaption = L"Aurevia Solenne [2022.01.00]";
    static constexpr UINT_PTR kTimer1 = 1;
    static constexpr UINT Timer1Interval = 200;

    // Construction in its fixed order: window and components (the single-instance guard among
    // them, which may end the process), catalogue, FormCreate. An error escaping FormCreate is
    // shown by the top-level error display and construction goes on.
    TFrmMenu();
    ~TFrmMenu();
    TFrmMenu(const TFrmMenu&) = delete;
    TFrmMenu& operator=(const TFrmMenu&) = delete;

    HWND Handle() const { return FHandle.get(); }
    void Show();
    // Asks the window to close, as the close button does.
    void Close();
    std::wstring Caption() const;
    void SetCaption(const std::wstring& ACaption);
    int Dpi() const { return FDpi; }
    // The component lying topmost at a client point (nullptr over bare form).
    TImage* ComponentAt(POINT AClientPoint);
    // A component's rectangle in client pixels at the window's current dpi.
    RECT ScaledRect(const TImage& AImage) const;

    // --- layout, bottom to top -------------------------------------------------------------
    TImage Image1, imgInternacao, imgProntuario, imgAgendaConsulta, imgAtendimento, imgAgenCirurgia,
        imgEstoque, imgSND, imgGlosa, imgSame, imgCusto, imgCompras, imgControlEquip, imgExames,
        imgContrlDoenca, imgControlProntuario, imgFinanceiro, imgFaturamento, imgTelemarketing,
        imgSuporteRemoto1, imgSuporteRemoto2, imgEmail, imgAdmSistema, imgCadGeral, imgAeC,
        imgCheckBeiraLeito;
    TBusyPanel pnlTemporizador;
    TActivityIndicator& aciTemporizador = pnlTemporizador.aciTemporizador;
    unique_hmenu PopupMenu;
    TShellFileOperation ShellFileOperation;

    // Picture components in layout order (bottom first).
    std::array<TImage*, 26> Images();
    // The pictures are decoded on a thread of their own from construction on, while the window is
    // built; their Picture fields may be read only once this has returned. Painting waits here.
    void WaitForPictures();

    // --- fields ----------------------------------------------------------------------------
    TModuleOptions FModuleOptions;
    std::wstring wCaminhoServidor;
    std::wstring wCaminhoDestino;
    // The tray icon (tray_icon.h); these names forward to it.
    TTrayIcon FTrayIcon;
    NOTIFYICONDATAW& TrayIconData = FTrayIcon.Data;
    bool wfecha = false;
    std::wstring FSelectedModule;
    TDateTime FStart = 0;
    std::wstring FLocalPath;
    std::wstring FRemotePath;
    std::wstring FUrl;
    // What updates are checked with (the publisher's key of Aurevia.ini); disabled without a key.
    TUpdateVerification FVerification;
    // The bounds of every update (section "Limites" of Aurevia.ini).
    TTransferLimits FLimits;
    // Where release control placed this workstation at the last update that completed (ring, rollout
    // number, the rollout document's serial, the release taken); UI thread. Empty ring: no update has
    // completed yet, or updates are not verified.
    TRolloutState FRolloutState;
    bool& TrayIconCriado = FTrayIcon.Added;

    // --- handlers --------------------------------------------------------------------------
    void FormCreate();
    void FormShow();
    void FormActivate();
    // Returns whether the close may proceed.
    bool FormClose();
    void FormDestroy();
    void TrayMessage(LPARAM AMouseMessage);
    void ApplicationEvents1Minimize();
    void AbreoSistemadeGesttoHospitalar1Click();
    void FechaoSistemadeGesttoHospitalar1Click();

    // Module updates and launching.
    void imgClick(TImage* Sender);
    void Timer1Timer();

    // Launcher self-update.
    void CheckSelfUpdate();
    std::wstring FileVersionOf(const std::wstring& AFileName);
    int64_t FileSizeOf(const std::wstring& AFileName);

    // Support tools and mail.
    void imgSuporteRemoto1Click(TImage* Sender);
    void imgSuporteRemoto2Click(TImage* Sender);
    void imgEmailClick(TImage* Sender);
    void CopyFromServer(const std::wstring& ASourceFolder, const std::wstring& ADestinationFolder,
                        const std::wstring& AFileName);

    // Busy panel, exposed for the update flow.
    void StartBusy();
    void StopBusy();

    // The popup menu's command identifiers.
    enum : UINT { kMenuOpen = 101, kMenuClose = 103 };

  private:
    static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);
    LRESULT HandleMessage(UINT AMessage, WPARAM AWParam, LPARAM ALParam);

    void CreateComponents();
    void LoadPictures();
    std::future<void> FPicturesLoaded;
    void CreateHints();
    void AfterShow();
    void UpdateHints();
    void ApplyDpi(int ADpi);
    void FitClientToDesign();
    void Paint(HDC ADC, const RECT& AUpdate);
    void ShowPopupMenu(POINT AScreenPoint);
    void AddTrayIcon();

    void ReadConfiguration();
    void CreateReportFolder();
    void LogStart();
    void StartLeftoverSweep();
    std::thread FSweep;

    // Single-instance guard: created with the components, checks once they are all loaded. A
    // rejected start ends the process inside CheckInstanceGuard.
    void CreateInstanceGuard();
    void CheckInstanceGuard();
    std::shared_ptr<void> FInstanceGuard;
    bool FInstanceGuardChecked = false;

    // Module updates and launching, one at a time through the update queue (update_queue.h).
    void BuildCatalogue();
    void SelectModule(const std::wstring& AModuleName, bool AAdditionalFiles);
    void RunUpdate(const std::wstring& AModuleName, bool AAdditionalFiles, void (TFrmMenu::*AOnTerminate)());
    void LaunchSelectedModule();
    void FinishStartupRefresh();
    void StartSelectedModule();
    void HideBusy();
    void RunNextPending();
    bool Unconfigured() const;
    // Shows what verification refused in the update that just completed, once.
    void ShowVerificationMessage();
    std::wstring FVerificationMessage;
    TUpdateQueue FUpdates;
    bool& FUpdating = FUpdates.FUpdating;
    std::wstring& FRunningModule = FUpdates.FRunningModule;
    std::deque<TModuleInfo>& FPending = FUpdates.FPending;

    unique_hwnd FHandle;
    unique_hwnd FHints;
    unique_gdi FFont;
    // Where the tiles lie (tile_layout.h); FDpi forwards to it.
    TTileLayout FLayout{Images()};
    int& FDpi = FLayout.Dpi;
    UINT FTaskbarCreated = 0;
    TImage* FPressed = nullptr;
};

// Makes the single-instance guard and checks it at once, before the application and the menu window
// are built: a second start of this executable ends here (exit code 0). The menu window created next
// takes the guard over.
void CheckSingleInstance(HINSTANCE AInstance);

// The one menu window, set while it exists.
extern TFrmMenu* FrmMenu;
