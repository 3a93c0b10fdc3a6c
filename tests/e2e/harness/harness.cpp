#include "harness.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <wincodec.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "base/string_convert.h"

namespace e2e {

namespace {

std::wstring Environment(const wchar_t* AName) {
    const DWORD size = GetEnvironmentVariableW(AName, nullptr, 0);
    if (size == 0) return {};
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(AName, value.data(), size));
    return value;
}

// Keeps a screenshot of the screen at the first failure of a test, named after the test: taken
// at once, while the programs under test still show what went wrong.
class ScreenshotOnFailure : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { FTaken = false; }
    void OnTestPartResult(const testing::TestPartResult& AResult) override {
        if (!AResult.failed() || FTaken) return;
        FTaken = true;
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        if (!info) return;
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        for (char& c : name)
            if (c == '/' || c == '\\' || c == ':') c = '_';
        const auto file = ArtifactsFolder() / (name + ".png");
        if (SaveScreenshot(file)) std::printf("screenshot: %s\n", file.string().c_str());
    }
    bool FTaken = false;
};

const bool kListenerInstalled = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new ScreenshotOnFailure);
    return true;
}();

struct ComScope {
    bool owned = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    ~ComScope() {
        if (owned) CoUninitialize();
    }
};

template <typename T>
struct Com {
    T* p = nullptr;
    ~Com() {
        if (p) p->Release();
    }
    T* operator->() const { return p; }
    T** put() { return &p; }
};

INPUT MouseInput(DWORD AFlags, LONG AX = 0, LONG AY = 0) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = AX;
    input.mi.dy = AY;
    input.mi.dwFlags = AFlags;
    return input;
}

}  // namespace

std::wstring BuiltLauncher() { return Environment(L"AUREVIA_E2E_LAUNCHER"); }
std::wstring BuiltDemoModule() { return Environment(L"AUREVIA_E2E_DEMO_MODULE"); }

std::filesystem::path ArtifactsFolder() {
    std::filesystem::path folder = Environment(L"AUREVIA_ARTIFACTS");
    if (folder.empty()) folder = L"artifacts";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder;
}

void WriteTextFile(const std::filesystem::path& APath, const std::string& AText) {
    std::ofstream file(APath, std::ios::binary | std::ios::trunc);
    file << AText;
    if (!file) throw std::runtime_error("cannot write " + APath.string());
}

std::string ReadTextFile(const std::filesystem::path& APath) {
    std::ifstream file(APath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void SetLastWriteTime(const std::filesystem::path& APath, FILETIME ATime) {
    HANDLE file = CreateFileW(APath.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + APath.string());
    SetFileTime(file, nullptr, nullptr, &ATime);
    CloseHandle(file);
}

FILETIME LastWriteTime(const std::filesystem::path& APath) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(APath.c_str(), GetFileExInfoStandard, &data)) return FILETIME{};
    return data.ftLastWriteTime;
}

Installation::Installation() {
    const std::wstring built = BuiltLauncher();
    if (built.empty() || !CopyFileW(built.c_str(), Exe().c_str(), FALSE))
        throw std::runtime_error("cannot copy the built launcher (AUREVIA_E2E_LAUNCHER)");
}

void Installation::WriteIni(const std::wstring& ALocalExe, const std::wstring& AUrl) {
    std::wstring text = L"[Servidor]\r\n";
    if (!ALocalExe.empty()) text += L"Local Exe=" + ALocalExe + L"\r\n";
    if (!AUrl.empty()) text += L"url=" + AUrl + L"\r\n";
    // Windows INI files are read in the ANSI code page unless they carry a BOM: write UTF-16.
    std::ofstream file(Path() / L"Aurevia.ini", std::ios::binary | std::ios::trunc);
    file.write("\xFF\xFE", 2);
    file.write(reinterpret_cast<const char*>(text.data()), static_cast<std::streamsize>(text.size() * 2));
}

Process::Process(const std::wstring& AExe, const std::wstring& AArguments,
                 const std::wstring& ACurrentDirectory) {
    std::wstring commandLine = L"\"" + AExe + L"\"";
    if (!AArguments.empty()) commandLine += L" " + AArguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (!CreateProcessW(AExe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        ACurrentDirectory.empty() ? nullptr : ACurrentDirectory.c_str(), &startup, &FInfo))
        throw std::runtime_error("cannot start " + WideToUtf8(AExe));
    CloseHandle(FInfo.hThread);
    FInfo.hThread = nullptr;
}

Process::~Process() {
    Kill();
    if (FInfo.hProcess) CloseHandle(FInfo.hProcess);
}

bool Process::Running() const { return WaitForSingleObject(FInfo.hProcess, 0) == WAIT_TIMEOUT; }

std::optional<DWORD> Process::WaitForExit(Millis ATimeout) {
    if (WaitForSingleObject(FInfo.hProcess, static_cast<DWORD>(ATimeout.count())) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(FInfo.hProcess, &code);
    return code;
}

void Process::Kill() {
    if (FInfo.hProcess && Running()) {
        TerminateProcess(FInfo.hProcess, 255);
        WaitForSingleObject(FInfo.hProcess, 5000);
    }
}

bool WaitUntil(const std::function<bool()>& ACondition, Millis ATimeout) {
    const auto deadline = std::chrono::steady_clock::now() + ATimeout;
    for (;;) {
        if (ACondition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Sleep(25);
    }
}

std::vector<HWND> TopLevelWindows(DWORD AProcessId, const std::wstring& AClass) {
    struct Query {
        DWORD pid;
        const std::wstring* cls;
        std::vector<HWND> found;
    } query{AProcessId, &AClass, {}};
    EnumWindows(
        [](HWND AWindow, LPARAM AParam) -> BOOL {
            auto* q = reinterpret_cast<Query*>(AParam);
            DWORD pid = 0;
            GetWindowThreadProcessId(AWindow, &pid);
            if ((q->pid == 0 || pid == q->pid) && (q->cls->empty() || ClassOf(AWindow) == *q->cls))
                q->found.push_back(AWindow);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&query));
    return query.found;
}

std::wstring CaptionOf(HWND AWindow) {
    wchar_t text[1024] = {};
    // Across processes GetWindowText does not ask the window; WM_GETTEXT does.
    SendMessageTimeoutW(AWindow, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 2000, nullptr);
    return text;
}

std::wstring ClassOf(HWND AWindow) {
    wchar_t name[256] = {};
    GetClassNameW(AWindow, name, static_cast<int>(std::size(name)));
    return name;
}

namespace {

// The first shown top-level window (of the process, or of any process for 0; of the class, or of
// any class for "") that AMatch accepts, waited for; null when none came in time.
HWND WaitForShownWindow(DWORD AProcessId, const std::wstring& AClass, const std::function<bool(HWND)>& AMatch,
                        Millis ATimeout) {
    HWND result = nullptr;
    WaitUntil(
        [&] {
            for (HWND w : TopLevelWindows(AProcessId, AClass))
                if (IsWindowVisible(w) && AMatch(w)) {
                    result = w;
                    return true;
                }
            return false;
        },
        ATimeout);
    return result;
}

}  // namespace

HWND WaitForWindow(DWORD AProcessId, const std::wstring& ACaption, Millis ATimeout) {
    return WaitForShownWindow(
        AProcessId, L"", [&](HWND w) { return CaptionOf(w) == ACaption; }, ATimeout);
}

HWND WaitForMenuWindow(DWORD AProcessId, Millis ATimeout) {
    HWND result = nullptr;
    WaitUntil(
        [&] {
            const auto found = TopLevelWindows(AProcessId, L"AureviaMenu");
            if (found.empty()) return false;
            result = found.front();
            return true;
        },
        ATimeout);
    return result;
}

std::wstring WaitForCaption(HWND AWindow, const std::function<bool(const std::wstring&)>& APredicate,
                            Millis ATimeout) {
    std::wstring caption;
    WaitUntil(
        [&] {
            caption = CaptionOf(AWindow);
            return APredicate(caption);
        },
        ATimeout);
    return caption;
}

HWND WaitForDialog(const std::wstring& ACaption, Millis ATimeout) {
    return WaitForShownWindow(
        0, L"", [&](HWND w) { return CaptionOf(w) == ACaption && ClassOf(w) != L"AureviaMenu"; }, ATimeout);
}

std::wstring DialogText(HWND ADialog) {
    std::wstring text;
    for (HWND child = GetWindow(ADialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (ClassOf(child) == L"Button") continue;
        const std::wstring part = CaptionOf(child);
        if (part.empty()) continue;
        if (!text.empty()) text += L"\n";
        text += part;
    }
    return text;
}

void ClickAt(HWND AWindow, POINT AClientPoint, bool ARightButton) {
    POINT screen = AClientPoint;
    ClientToScreen(AWindow, &screen);
    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    const LONG x = static_cast<LONG>((screen.x * 65535LL + width / 2) / (width - 1));
    const LONG y = static_cast<LONG>((screen.y * 65535LL + height / 2) / (height - 1));
    INPUT move = MouseInput(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, x, y);
    SendInput(1, &move, sizeof(INPUT));
    Sleep(30);
    INPUT press[2] = {MouseInput(ARightButton ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN),
                      MouseInput(ARightButton ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP)};
    SendInput(1, &press[0], sizeof(INPUT));
    Sleep(30);
    SendInput(1, &press[1], sizeof(INPUT));
    Sleep(30);
}

void PressKey(WORD AVirtualKey) {
    INPUT keys[2]{};
    keys[0].type = keys[1].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = keys[1].ki.wVk = AVirtualKey;
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, keys, sizeof(INPUT));
}

bool ClickCloseButton(HWND AWindow) {
    RECT r;
    GetWindowRect(AWindow, &r);
    // Walk the caption row from the right edge inwards until the window says "close button".
    for (int y = r.top + 2; y < r.top + 40; y += 3)
        for (int x = r.right - 2; x > r.right - 80; x -= 3) {
            DWORD_PTR hit = 0;
            SendMessageTimeoutW(AWindow, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_ABORTIFHUNG, 2000, &hit);
            if (hit != HTCLOSE) continue;
            POINT client{x, y};
            ScreenToClient(AWindow, &client);
            ClickAt(AWindow, client);
            return true;
        }
    return false;
}

void AnswerWithEnter(HWND ADialog) {
    SetForegroundWindow(ADialog);
    WaitUntil([&] { return GetForegroundWindow() == ADialog; }, 2s);
    PressKey(VK_RETURN);
}

void SendTrayMessage(HWND AMenuWindow, UINT AMouseMessage) {
    PostMessageW(AMenuWindow, WM_USER + 1, 0, AMouseMessage);
}

HWND WaitForPopupMenu(Millis ATimeout) {
    return WaitForShownWindow(
        0, L"#32768", [](HWND) { return true; }, ATimeout);
}

void ClickPopupMenuItem(HWND AMenu, bool ALastItem) {
    // A menu that has just appeared may not track the mouse yet: click again while it stays open.
    for (int attempt = 0; attempt < 3 && IsWindowVisible(AMenu); ++attempt) {
        Sleep(150);
        RECT r;
        GetWindowRect(AMenu, &r);
        ClickAt(AMenu, POINT{(r.right - r.left) / 2, ALastItem ? r.bottom - r.top - 9 : 9}, false);
        WaitUntil([&] { return !IsWindowVisible(AMenu); }, 1s);
    }
}

void QuitThroughTrayMenu(HWND AMenuWindow) {
    SendTrayMessage(AMenuWindow, WM_RBUTTONDOWN);
    HWND menu = WaitForPopupMenu();
    if (menu) ClickPopupMenuItem(menu, true);
}

bool BusyPanelVisible(HWND AMenuWindow) {
    HWND panel = FindWindowExW(AMenuWindow, nullptr, L"AureviaBusyPanel", nullptr);
    return panel && IsWindowVisible(panel);
}

int CloseWindowsTitled(const std::wstring& ACaption) {
    int count = 0;
    for (HWND w : TopLevelWindows(0))
        if (IsWindowVisible(w) && CaptionOf(w) == ACaption) {
            PostMessageW(w, WM_CLOSE, 0, 0);
            ++count;
        }
    return count;
}

bool CloseProgramTitled(const std::wstring& ACaption, Millis ATimeout) {
    HWND window = nullptr;
    WaitUntil(
        [&] {
            window = FindWindowW(nullptr, ACaption.c_str());
            return window && IsWindowVisible(window);
        },
        10s);
    DWORD pid = 0;
    if (window) GetWindowThreadProcessId(window, &pid);
    HANDLE process = pid ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid) : nullptr;
    if (!process) {
        CloseWindowsTitled(ACaption);
        return false;
    }
    const bool ended = WaitUntil(
        [&] {
            CloseWindowsTitled(ACaption);
            return WaitForSingleObject(process, 500) == WAIT_OBJECT_0;
        },
        ATimeout);
    if (!ended) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
    }
    CloseHandle(process);
    return ended;
}

bool SaveScreenshot(const std::filesystem::path& APngFile) {
    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY | CAPTUREBLT);
    SelectObject(memory, old);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    bool saved = false;
    {
        ComScope com;
        Com<IWICImagingFactory> factory;
        Com<IWICStream> stream;
        Com<IWICBitmapEncoder> encoder;
        Com<IWICBitmapFrameEncode> frame;
        WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGR;
        saved =
            SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IWICImagingFactory, reinterpret_cast<void**>(factory.put()))) &&
            SUCCEEDED(factory->CreateStream(stream.put())) &&
            SUCCEEDED(stream->InitializeFromFilename(APngFile.c_str(), GENERIC_WRITE)) &&
            SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.put())) &&
            SUCCEEDED(encoder->Initialize(stream.p, WICBitmapEncoderNoCache)) &&
            SUCCEEDED(encoder->CreateNewFrame(frame.put(), nullptr)) &&
            SUCCEEDED(frame->Initialize(nullptr)) &&
            SUCCEEDED(frame->SetSize(static_cast<UINT>(width), static_cast<UINT>(height))) &&
            SUCCEEDED(frame->SetPixelFormat(&format)) &&
            SUCCEEDED(frame->WritePixels(static_cast<UINT>(height), static_cast<UINT>(width) * 4,
                                         static_cast<UINT>(width) * 4 * static_cast<UINT>(height),
                                         static_cast<BYTE*>(bits))) &&
            SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
    }
    DeleteObject(bitmap);
    return saved;
}

}  // namespace e2e
