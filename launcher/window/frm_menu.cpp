#include "launcher/window/frm_menu.h"

#include <commctrl.h>
#include <objbase.h>
#include <windowsx.h>

#include <utility>

#include "base/string_convert.h"
#include "launcher/window/application.h"
#include "launcher/settings/settings.h"
#include "launcher/support/contacts.h"
#include "launcher/fleet/fleet_start.h"
#include "launcher/catalogue/program_folder.h"
#include "launcher/window/pictures.h"
#include "launcher/settings/program_path.h"
#include "launcher/catalogue/startup_record.h"
#include "base/error.h"
#include "base/error_display.h"
#include "base/paths.h"
#include "base/event_log.h"
#include "base/win32_error.h"
#include "update/plan/rollout_number.h"
#include "update/transport/proxy_setting.h"
#include "update/transport/pumped_wait.h"

TFrmMenu* FrmMenu = nullptr;

namespace {

constexpr DWORD kStyle = WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN | DS_MODALFRAME;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_APPWINDOW;
constexpr RECT kPanelDesign{302, 285, 302 + 369, 285 + 143};

int Scale(int AValue, int ADpi) { return TTileLayout::Scale(AValue, ADpi); }

std::wstring ContactLine() { return std::wstring(L"Telefone : ") + kVendorTelephone + L"\r" + kSalesMailbox; }

}  // namespace

TFrmMenu::TFrmMenu() {
    FrmMenu = this;
    CreateComponents();

    // ---- single-instance guard: every component is loaded, the catalogue is not built yet ----
    CheckInstanceGuard();

    BuildCatalogue();
    GuardEvent([this] { FormCreate(); });
}

TFrmMenu::~TFrmMenu() {
    Application.OnMinimize = nullptr;
    Application.SetMainForm(nullptr);
    // WM_NCDESTROY lets go of the handle; until then the handlers still see it.
    if (FHandle) DestroyWindow(FHandle.get());
    // Start-up's sweep logs as it goes; it is given a few seconds to end before the log closes. A
    // sweep still at work after that (a program folder on a stalled share) must not hold the exit:
    // the task keeps itself alive, its later lines are dropped by the closed log, and the process's
    // end stops it between two removals, each of which is whole.
    if (FSweep) WaitForSingleObject(FSweep->EndedEvent(), kSweepExitWaitMs);
    if (FrmMenu == this) FrmMenu = nullptr;
}

std::array<TImage*, kTileCount> TFrmMenu::Images() {
    std::array<TImage*, kTileCount> images;
    for (size_t i = 0; i < kTileCount; ++i) images[i] = &FComponents[i];
    return images;
}

std::array<TImage, kTileCount> TFrmMenu::MakeComponents() {
    std::array<TImage, kTileCount> components;
    for (size_t i = 0; i < kTileCount; ++i) {
        const TTileRow& row = kTiles[i];
        TImage& image = components[i];
        image.Name = row.Component;
        image.Design = RECT{row.Left, row.Top, row.Left + row.Width, row.Top + row.Height};
        image.PictureName = row.Picture;
        image.Mode = row.Shape == TTileShape::Background ? TPictureMode::CenterCut
                     : row.Shape == TTileShape::Tile     ? TPictureMode::Stretch
                                                         : TPictureMode::None;
        switch (row.Click) {
            case TTileClick::Module:
                image.OnClick = &TFrmMenu::imgClick;
                break;
            case TTileClick::SupportTool1:
                image.OnClick = &TFrmMenu::imgSuporteRemoto1Click;
                break;
            case TTileClick::SupportTool2:
                image.OnClick = &TFrmMenu::imgSuporteRemoto2Click;
                break;
            case TTileClick::Mail:
                image.OnClick = &TFrmMenu::imgEmailClick;
                break;
            case TTileClick::None:
                break;
        }
        image.HandCursor = image.OnClick != nullptr;
        image.Popup = row.Popup;
    }
    return components;
}

void TFrmMenu::CreateComponents() {
    imgEmail.Hint = std::wstring(L"e-mail : ") + kSupportMailbox;
    LoadPictures();

    // The window itself: a fixed dialog frame, close button only, centred on the screen.
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &TFrmMenu::WindowProc;
    wc.hInstance = Application.Instance();
    wc.hIcon = Application.Icon();
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = kWindowClass;
    // The second press of a double click arrives as WM_LBUTTONDBLCLK, which is no click: a double
    // click on a tile starts its module once.
    wc.style = CS_DBLCLKS;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        ThrowLastError(TErrorCategory::Other);

    FDpi = static_cast<int>(GetDpiForSystem());
    RECT frame{0, 0, Scale(kClientWidth, FDpi), Scale(kClientHeight, FDpi)};
    AdjustWindowRectExForDpi(&frame, kStyle, FALSE, kExStyle, FDpi);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    // The window procedure takes ownership of the handle on WM_NCCREATE.
    if (!CreateWindowExW(kExStyle, kWindowClass, L"FrmMenu", kStyle, left, top, width, height, nullptr,
                         nullptr, Application.Instance(), this))
        ThrowLastError(TErrorCategory::Other);
    Application.SetMainForm(FHandle.get());
    Application.OnMinimize = [this] { GuardEvent([this] { ApplicationEvents1Minimize(); }); };
    FTaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");

    pnlTemporizador.Create(FHandle.get(), kPanelDesign, FDpi);

    PopupMenu.reset(CreatePopupMenu());
    AppendMenuW(PopupMenu.get(), MF_STRING, kMenuOpen, L"Abre o Sistema de Gesttão Hospitalar");
    AppendMenuW(PopupMenu.get(), MF_SEPARATOR, 0, nullptr);
    AppendMenuW(PopupMenu.get(), MF_STRING, kMenuClose, L"Fecha o Sistema de Gesttão Hospitalar");

    // The monitor the window landed on may have another dpi than the system's.
    const int windowDpi = static_cast<int>(GetDpiForWindow(FHandle.get()));
    ApplyDpi(windowDpi ? windowDpi : FDpi);
    FitClientToDesign();

    CreateInstanceGuard();
}

void TFrmMenu::LoadPictures() {
    // Decoding takes as long as building the rest of the window: the two run side by side, and the
    // window shows once the pictures are in. The task decodes into a list of its own, handed over by
    // WaitForPictures, so that it touches nothing of the window's.
    std::vector<const wchar_t*> ids;
    for (const TImage* image : Images()) ids.push_back(image->PictureName);
    FPictures = std::make_shared<std::vector<TPicture>>(ids.size());
    FPicturesTask =
        TTask::New([ids = std::move(ids), pictures = FPictures, instance = Application.Instance()] {
            // One apartment for the whole batch; each decode's own initialisation then only nests.
            const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            for (size_t i = 0; i < ids.size(); ++i)
                if (ids[i]) (*pictures)[i] = LoadPictureResource(instance, ids[i]);
            if (SUCCEEDED(com)) CoUninitialize();
        })->Start();
}

void TFrmMenu::WaitForPictures() {
    if (!FPicturesTask) return;
    WaitDispatchingMessages(FPicturesTask->EndedEvent(), std::nullopt);
    FPicturesTask.reset();
    const auto images = Images();
    for (size_t i = 0; i < images.size(); ++i) images[i]->Picture = std::move((*FPictures)[i]);
    FPictures.reset();
}

void TFrmMenu::CreateHints() {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    FHints.reset(CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                 WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                                 CW_USEDEFAULT, CW_USEDEFAULT, FHandle.get(), nullptr, Application.Instance(),
                                 nullptr));
    // A width limit makes the tip break its text at line ends, so the contact line shows two lines.
    SendMessageW(FHints.get(), TTM_SETMAXTIPWIDTH, 0, 600);
    UpdateHints();
}

void TFrmMenu::UpdateHints() {
    if (!FHints) return;
    const auto images = Images();
    for (UINT_PTR i = 0; i < images.size(); ++i) {
        TImage* image = images[i];
        TTTOOLINFOW tool{};
        tool.cbSize = sizeof(tool);
        tool.hwnd = FHandle.get();
        tool.uId = i;
        const bool present =
            SendMessageW(FHints.get(), TTM_GETTOOLINFOW, 0, reinterpret_cast<LPARAM>(&tool)) != 0;
        if (image->Hint.empty()) {
            if (present) SendMessageW(FHints.get(), TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
            continue;
        }
        tool = TTTOOLINFOW{};
        tool.cbSize = sizeof(tool);
        tool.uFlags = TTF_SUBCLASS;
        tool.hwnd = FHandle.get();
        tool.uId = i;
        tool.rect = ScaledRect(*image);
        tool.lpszText = image->Hint.data();
        if (present) {
            SendMessageW(FHints.get(), TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&tool));
            SendMessageW(FHints.get(), TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
        } else {
            SendMessageW(FHints.get(), TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        }
    }
}

void TFrmMenu::ApplyDpi(int ADpi) {
    FDpi = ADpi;
    LOGFONTW font{};
    font.lfHeight = Scale(-11, ADpi);
    font.lfCharSet = DEFAULT_CHARSET;
    wcscpy_s(font.lfFaceName, L"Tahoma");
    FFont.reset(CreateFontIndirectW(&font));
    SendMessageW(FHandle.get(), WM_SETFONT, reinterpret_cast<WPARAM>(FFont.get()), FALSE);
    pnlTemporizador.Rescale(ADpi);
    UpdateHints();
    InvalidateRect(FHandle.get(), nullptr, FALSE);
}

void TFrmMenu::FitClientToDesign() {
    // The frame's own metrics may not match the computed ones (rounding, a frame not yet scaled):
    // correct the window by what the client area is off.
    RECT client, window;
    GetClientRect(FHandle.get(), &client);
    GetWindowRect(FHandle.get(), &window);
    const int dx = Scale(kClientWidth, FDpi) - client.right;
    const int dy = Scale(kClientHeight, FDpi) - client.bottom;
    if (dx == 0 && dy == 0) return;
    SetWindowPos(FHandle.get(), nullptr, 0, 0, window.right - window.left + dx,
                 window.bottom - window.top + dy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

RECT TFrmMenu::ScaledRect(const TImage& AImage) const { return FLayout.ScaledRect(AImage); }

TImage* TFrmMenu::ComponentAt(POINT AClientPoint) { return FLayout.ComponentAt(AClientPoint); }

void TFrmMenu::Show() {
    WaitForPictures();
    ShowWindow(FHandle.get(), SW_SHOWNORMAL);
    UpdateWindow(FHandle.get());
    // What the user does not see at once waits until the window is up: the hints and the tray icon
    // load the common controls and the shell, which would otherwise load before the window shows.
    PostMessageW(FHandle.get(), WM_AFTERSHOW, 0, 0);
}

void TFrmMenu::AfterShow() {
    CreateHints();
    if (!TrayIconCriado) AddTrayIcon();
}

void TFrmMenu::Close() { SendMessageW(FHandle.get(), WM_CLOSE, 0, 0); }

std::wstring TFrmMenu::Caption() const {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(FHandle.get())) + 1, L'\0');
    text.resize(
        static_cast<size_t>(GetWindowTextW(FHandle.get(), text.data(), static_cast<int>(text.size()))));
    return text;
}

void TFrmMenu::SetCaption(const std::wstring& ACaption) { SetWindowTextW(FHandle.get(), ACaption.c_str()); }

void TFrmMenu::Paint(HDC ADC, const RECT& AUpdate) {
    // Until the pictures are in (the window shows only then) the form paints bare.
    const bool pictures = !FPicturesTask;
    RECT client;
    GetClientRect(FHandle.get(), &client);
    const int width = client.right, height = client.bottom;
    unique_hdc memory(CreateCompatibleDC(ADC));
    unique_gdi buffer(CreateCompatibleBitmap(ADC, width, height));
    const HGDIOBJ oldBuffer = SelectObject(memory.get(), buffer.get());
    FillRect(memory.get(), &client, GetSysColorBrush(COLOR_BTNFACE));

    unique_hdc source(CreateCompatibleDC(ADC));
    SetStretchBltMode(memory.get(), HALFTONE);
    SetBrushOrgEx(memory.get(), 0, 0, nullptr);
    for (TImage* image : Images()) {
        if (!pictures || !image->Picture) continue;
        const RECT r = ScaledRect(*image);
        const HGDIOBJ oldSource = SelectObject(source.get(), image->Picture.Bitmap.get());
        if (image->Mode == TPictureMode::CenterCut) {
            // Centred at its own size (scaled with the dpi) and cut by the component's rectangle.
            const int w = Scale(image->Picture.Width, FDpi), h = Scale(image->Picture.Height, FDpi);
            const int x = r.left + (r.right - r.left - w) / 2, y = r.top + (r.bottom - r.top - h) / 2;
            const int saved = SaveDC(memory.get());
            IntersectClipRect(memory.get(), r.left, r.top, r.right, r.bottom);
            if (w == image->Picture.Width)
                BitBlt(memory.get(), x, y, w, h, source.get(), 0, 0, SRCCOPY);
            else
                StretchBlt(memory.get(), x, y, w, h, source.get(), 0, 0, image->Picture.Width,
                           image->Picture.Height, SRCCOPY);
            RestoreDC(memory.get(), saved);
        } else {
            StretchBlt(memory.get(), r.left, r.top, r.right - r.left, r.bottom - r.top, source.get(), 0, 0,
                       image->Picture.Width, image->Picture.Height, SRCCOPY);
        }
        SelectObject(source.get(), oldSource);
    }
    BitBlt(ADC, AUpdate.left, AUpdate.top, AUpdate.right - AUpdate.left, AUpdate.bottom - AUpdate.top,
           memory.get(), AUpdate.left, AUpdate.top, SRCCOPY);
    SelectObject(memory.get(), oldBuffer);
}

void TFrmMenu::ShowPopupMenu(POINT AScreenPoint) {
    // The menu must belong to the foreground window, or it stays open when the user clicks away.
    SetForegroundWindow(FHandle.get());
    TrackPopupMenu(PopupMenu.get(), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, AScreenPoint.x,
                   AScreenPoint.y, 0, FHandle.get(), nullptr);
    PostMessageW(FHandle.get(), WM_NULL, 0, 0);
}

void TFrmMenu::AddTrayIcon() {
    FTrayIcon.Add(FHandle.get(), WM_TRAYICON, Application.Icon(), Application.Title());
}

// --- handlers ------------------------------------------------------------------------------------

void TFrmMenu::FormCreate() {
    FillStartupRecord();
    imgAeC.Hint = ContactLine();
    UpdateHints();
    wfecha = false;
    ReadConfiguration();
    LogLauncherStart(FLocalPath, FSettings);
    StartFleetReports(FSettings.FleetUrl, FLimits.Proxy);
    FSweep = StartLeftoverSweep(FLocalPath);
    CreateReportFolder(FLocalPath);
}

void TFrmMenu::ReadConfiguration() {
    // The one place the window's fields are set from the settings.
    FLocalPath = FolderOf(ProgramFileName());
    FSettings = ReadSettings(FLocalPath);
    FRemotePath = FSettings.RemotePath;
    wCaminhoServidor = FRemotePath;
    FUrl = FSettings.Url;
    FVerification.PublisherKey = FSettings.PublisherKey;
    FVerification.RootAnchor = WideToUtf8(FSettings.RootAnchor);
    FVerification.Deployment = WideToUtf8(FSettings.Deployment);
    if (FVerification.Enabled()) {
        FVerification.Ring = FSettings.Ring;
        FVerification.MachineValue = MachineRolloutValue();
        FVerification.StateFile = FLocalPath + kAcceptedStateFileName;
    }
    static_assert(uint64_t{kMaxLimitSeconds} * 1000 <= UINT32_MAX, "limits in milliseconds fit a DWORD");
    FLimits.ListingBytes = FSettings.Limits.ListingBytes;
    FLimits.MinBytes = FSettings.Limits.MinBytes;
    FLimits.MinWindowMs = static_cast<DWORD>(FSettings.Limits.MinWindow.count());
    FLimits.DeadlineMs = static_cast<DWORD>(FSettings.Limits.Deadline.count());
    FLimits.Connections = FSettings.Network.Connections;
    if (const std::optional<TProxySetting> proxy = ParseProxySetting(FSettings.Network.Proxy)) {
        FLimits.Proxy = *proxy;
    } else {
        // A typing slip must not stop every update: the system's settings serve meanwhile.
        LogEvent(TLogLine(TLogLevel::Warn, "proxy-setting-refused").Add("value", FSettings.Network.Proxy));
    }
    SetCaption(kCaption);
}

void TFrmMenu::FormShow() { SetTimer(FHandle.get(), kTimer1, Timer1Interval, nullptr); }

void TFrmMenu::FormActivate() { CheckSelfUpdate(); }

bool TFrmMenu::FormClose() {
    if (wfecha) {
        Application.Terminate();
        return true;
    }
    Application.Minimize();
    return false;
}

void TFrmMenu::FormDestroy() {
    FTrayIcon.Remove();
    StopStaging();
}

void TFrmMenu::TrayMessage(LPARAM AMouseMessage) {
    switch (AMouseMessage) {
        case WM_LBUTTONDBLCLK:
            Application.Restore();
            Application.BringToFront();
            break;
        case WM_RBUTTONDOWN:
            ShowPopupMenu(POINT{GetSystemMetrics(SM_CXSCREEN) - 20, GetSystemMetrics(SM_CYSCREEN) - 20});
            break;
        default:
            break;
    }
}

void TFrmMenu::ApplicationEvents1Minimize() { ShowWindow(Application.Handle(), SW_HIDE); }

void TFrmMenu::AbreoSistemadeGesttoHospitalar1Click() {
    Application.Restore();
    Application.BringToFront();
}

void TFrmMenu::FechaoSistemadeGesttoHospitalar1Click() {
    wfecha = true;
    Close();
}

// --- messages ------------------------------------------------------------------------------------

LRESULT CALLBACK TFrmMenu::WindowProc(HWND AWnd, UINT AMessage, WPARAM AWParam, LPARAM ALParam) {
    if (AMessage == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(ALParam);
        auto* self = static_cast<TFrmMenu*>(create->lpCreateParams);
        SetWindowLongPtrW(AWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->FHandle.reset(AWnd);
    }
    auto* self = reinterpret_cast<TFrmMenu*>(GetWindowLongPtrW(AWnd, GWLP_USERDATA));
    if (!self) return DefWindowProcW(AWnd, AMessage, AWParam, ALParam);
    if (AMessage == WM_NCDESTROY) {
        SetWindowLongPtrW(AWnd, GWLP_USERDATA, 0);
        self->FHandle.release();
        return DefWindowProcW(AWnd, AMessage, AWParam, ALParam);
    }
    return self->HandleMessage(AMessage, AWParam, ALParam);
}

LRESULT TFrmMenu::HandleMessage(UINT AMessage, WPARAM AWParam, LPARAM ALParam) {
    const HWND wnd = FHandle.get();
    if (AMessage == FTaskbarCreated && FTaskbarCreated != 0) {
        GuardEvent([this] { FTrayIcon.ShellRestarted(); });
        return 0;
    }
    switch (AMessage) {
        case WM_TRAYICON:
            GuardEvent([&] { TrayMessage(ALParam); });
            return 0;
        case WM_AFTERSHOW:
            GuardEvent([this] { AfterShow(); });
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(wnd, &ps);
            Paint(dc, ps.rcPaint);
            EndPaint(wnd, &ps);
            return 0;
        }
        case WM_SETCURSOR:
            if (reinterpret_cast<HWND>(AWParam) == wnd && LOWORD(ALParam) == HTCLIENT) {
                POINT p;
                GetCursorPos(&p);
                ScreenToClient(wnd, &p);
                const TImage* image = ComponentAt(p);
                SetCursor(LoadCursorW(
                    nullptr, reinterpret_cast<LPCWSTR>(image && image->HandCursor ? IDC_HAND : IDC_ARROW)));
                return TRUE;
            }
            break;
        case WM_LBUTTONDOWN:
            FPressed = ComponentAt(POINT{GET_X_LPARAM(ALParam), GET_Y_LPARAM(ALParam)});
            SetCapture(wnd);
            return 0;
        case WM_LBUTTONUP: {
            TImage* pressed = std::exchange(FPressed, nullptr);
            if (GetCapture() == wnd) ReleaseCapture();
            TImage* image = ComponentAt(POINT{GET_X_LPARAM(ALParam), GET_Y_LPARAM(ALParam)});
            if (image && image == pressed && image->OnClick)
                GuardEvent([&] { (this->*(image->OnClick))(image); });
            return 0;
        }
        case WM_CONTEXTMENU: {
            if (reinterpret_cast<HWND>(AWParam) != wnd || ALParam == -1) return 0;
            POINT screen{GET_X_LPARAM(ALParam), GET_Y_LPARAM(ALParam)};
            POINT client = screen;
            ScreenToClient(wnd, &client);
            const TImage* image = ComponentAt(client);
            if (image && image->Popup) ShowPopupMenu(screen);
            return 0;
        }
        case WM_COMMAND:
            if (HIWORD(AWParam) == 0 && ALParam == 0) {
                if (LOWORD(AWParam) == kMenuOpen)
                    GuardEvent([this] { AbreoSistemadeGesttoHospitalar1Click(); });
                if (LOWORD(AWParam) == kMenuClose)
                    GuardEvent([this] { FechaoSistemadeGesttoHospitalar1Click(); });
                return 0;
            }
            break;
        case WM_TIMER:
            if (AWParam == kTimer1) {
                GuardEvent([this] { Timer1Timer(); });
                return 0;
            }
            if (AWParam == kTimerStaging) {
                GuardEvent([this] { StagingTimer(); });
                return 0;
            }
            break;
        case WM_SHOWWINDOW:
            if (AWParam) GuardEvent([this] { FormShow(); });
            break;
        case WM_ACTIVATE: {
            // Only when the focus comes from outside the window: a dialog of ours that closes and
            // hands the focus back does not count.
            const HWND previous = reinterpret_cast<HWND>(ALParam);
            const bool fromOutside =
                !previous || GetWindowThreadProcessId(previous, nullptr) != GetCurrentThreadId();
            if (LOWORD(AWParam) != WA_INACTIVE && !HIWORD(AWParam) && fromOutside)
                GuardEvent([this] { FormActivate(); });
            break;
        }
        case WM_SYSCOMMAND:
            if ((AWParam & 0xFFF0) == SC_MINIMIZE) {
                GuardEvent([] { Application.Minimize(); });
                return 0;
            }
            break;
        case WM_CLOSE: {
            bool proceed = false;
            GuardEvent([&] { proceed = FormClose(); });
            if (proceed) ShowWindow(wnd, SW_HIDE);
            return 0;
        }
        case WM_DPICHANGED: {
            ApplyDpi(LOWORD(AWParam));
            const RECT* suggested = reinterpret_cast<const RECT*>(ALParam);
            SetWindowPos(wnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                         suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
            FitClientToDesign();
            return 0;
        }
        case WM_DESTROY:
            GuardEvent([this] { FormDestroy(); });
            return 0;
    }
    return DefWindowProcW(wnd, AMessage, AWParam, ALParam);
}
