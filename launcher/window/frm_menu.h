#pragma once
// The launcher's one window: the menu of module tiles over the background picture, the busy panel,
// the tray icon and the popup menu. One instance, created at start-up and kept until the program
// ends; everything here runs on the UI thread.
#include <windows.h>
#include <shellapi.h>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/window/busy_panel.h"
#include "launcher/window/components.h"
#include "launcher/catalogue/module_options.h"
#include "launcher/catalogue/tiles.h"
#include "launcher/settings/settings.h"
#include "launcher/window/tile_layout.h"
#include "launcher/window/tray_icon.h"
#include "launcher/window/update_queue.h"
#include "base/date_time.h"
#include "base/handles.h"
#include "tasks/task.h"
#include "update/transport/rest_client.h"
#include "update/plan/update_verification.h"
#include "update/trust/rollout_state.h"

class IUpdateSource;
class ITasks;
class TStagingControl;
class TStoredObjectsSource;
struct TStagingOutcome;

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
    // The background fetch's next round (frm_menu_staging.cpp).
    static constexpr UINT_PTR kTimerStaging = 2;

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

    // --- layout, bottom to top: one component per row of the tile table (tiles.h) ----------------
    std::array<TImage, kTileCount> FComponents = MakeComponents();
    TImage &Image1 = FComponents[TileIndex(L"Image1")],
           &imgInternacao = FComponents[TileIndex(L"imgInternacao")],
           &imgProntuario = FComponents[TileIndex(L"imgProntuario")],
           &imgAgendaConsulta = FComponents[TileIndex(L"imgAgendaConsulta")],
           &imgAtendimento = FComponents[TileIndex(L"imgAtendimento")],
           &imgAgenCirurgia = FComponents[TileIndex(L"imgAgenCirurgia")],
           &imgEstoque = FComponents[TileIndex(L"imgEstoque")], &imgSND = FComponents[TileIndex(L"imgSND")],
           &imgGlosa = FComponents[TileIndex(L"imgGlosa")], &imgSame = FComponents[TileIndex(L"imgSame")],
           &imgCusto = FComponents[TileIndex(L"imgCusto")],
           &imgCompras = FComponents[TileIndex(L"imgCompras")],
           &imgControlEquip = FComponents[TileIndex(L"imgControlEquip")],
           &imgExames = FComponents[TileIndex(L"imgExames")],
           &imgContrlDoenca = FComponents[TileIndex(L"imgContrlDoenca")],
           &imgControlProntuario = FComponents[TileIndex(L"imgControlProntuario")],
           &imgFinanceiro = FComponents[TileIndex(L"imgFinanceiro")],
           &imgFaturamento = FComponents[TileIndex(L"imgFaturamento")],
           &imgTelemarketing = FComponents[TileIndex(L"imgTelemarketing")],
           &imgSuporteRemoto1 = FComponents[TileIndex(L"imgSuporteRemoto1")],
           &imgSuporteRemoto2 = FComponents[TileIndex(L"imgSuporteRemoto2")],
           &imgEmail = FComponents[TileIndex(L"imgEmail")],
           &imgAdmSistema = FComponents[TileIndex(L"imgAdmSistema")],
           &imgCadGeral = FComponents[TileIndex(L"imgCadGeral")], &imgAeC = FComponents[TileIndex(L"imgAeC")],
           &imgCheckBeiraLeito = FComponents[TileIndex(L"imgCheckBeiraLeito")];
    TBusyPanel pnlTemporizador;
    TActivityIndicator& aciTemporizador = pnlTemporizador.aciTemporizador;
    unique_hmenu PopupMenu;
    TShellFileOperation ShellFileOperation;

    // Picture components in layout order (bottom first).
    std::array<TImage*, kTileCount> Images();
    // The pictures are decoded by a task of the process's pool from construction on, while the
    // window is built; their Picture fields are set by this wait (dispatching messages), which Show
    // runs before the window becomes visible.
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
    // Everything the launcher is configured with, read once by ReadConfiguration, which sets the
    // fields above and the two below from it.
    TSettings FSettings;
    // What updates are checked with (the publisher's key); disabled without a key.
    TUpdateVerification FVerification;
    // The bounds of every update.
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
    void StagingTimer();

    // Launcher self-update (launcher/self_update/self_update_check.h).
    void CheckSelfUpdate();
    std::wstring FileVersionOf(const std::wstring& AFileName);
    int64_t FileSizeOf(const std::wstring& AFileName);

    // Support tools and mail (launcher/support/).
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

    static std::array<TImage, kTileCount> MakeComponents();
    void CreateComponents();
    void LoadPictures();
    std::shared_ptr<ITask> FPicturesTask;  // until WaitForPictures has taken its pictures
    std::shared_ptr<std::vector<TPicture>> FPictures;
    void CreateHints();
    void AfterShow();
    void UpdateHints();
    void ApplyDpi(int ADpi);
    void FitClientToDesign();
    void Paint(HDC ADC, const RECT& AUpdate);
    void ShowPopupMenu(POINT AScreenPoint);
    void AddTrayIcon();

    void ReadConfiguration();
    // Start-up's sweep of the program folder (program_folder.h); the window waits for it when it goes.
    std::shared_ptr<ITask> FSweep;
    static constexpr DWORD kSweepExitWaitMs = 5000;

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
    // The background fetch of staged releases and the store updates take objects from
    // (frm_menu_staging.cpp). The control is shared with the round running on FStagingTasks' pool;
    // both UI thread only.
    bool StoreEnabled() const;
    std::wstring StoreFolder() const;
    // The source of an update: the configured one, behind the store when the store is enabled
    // (AStored is then set, for LogStoreUse).
    std::shared_ptr<IUpdateSource> UpdateSource(std::shared_ptr<TStoredObjectsSource>& AStored);
    void LogStoreUse(const std::wstring& AModuleName, const TStoredObjectsSource& AStored);
    void StartStaging();
    void FinishStagingRound(const TStagingOutcome& AOutcome);
    void PauseStaging();
    void ResumeStaging();
    void StopStaging();
    std::shared_ptr<TStagingControl> FStagingControl;
    std::shared_ptr<ITasks> FStagingTasks;
    uint64_t FStagedCompleteLogged = 0;

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

// The one menu window, set while it exists.
extern TFrmMenu* FrmMenu;
