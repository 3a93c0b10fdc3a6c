// The menu window of the real Aurevia.EXE, driven as a user would: start-up, closing to the tray,
// restoring, the popup menu and quitting.
#include <gtest/gtest.h>

#include "harness.h"

using namespace e2e;

namespace {

const std::wstring kCaption = L"Aurevia Solenne [2022.01.00]";

// A started launcher with its menu window found; quits through the tray menu unless told not to.
struct RunningLauncher {
    Installation installation;
    std::unique_ptr<Process> process;
    HWND window = nullptr;

    void Start() {
        process = std::make_unique<Process>(installation.Exe().wstring(), L"", installation.Path().wstring());
        window = WaitForWindow(process->Id(), kCaption);
        ASSERT_NE(window, nullptr) << "the menu window did not appear";
    }
};

bool VisibleMenuOpen() { return WaitForPopupMenu(0ms) != nullptr; }

}  // namespace

TEST(MenuWindow, StartsWithoutIniClosesToTrayRestoresAndQuitsWithExitCodeZero) {
    RunningLauncher launcher;
    ASSERT_NO_FATAL_FAILURE(launcher.Start());
    EXPECT_TRUE(
        WaitUntil([&] { return std::filesystem::is_directory(launcher.installation / L"Relatorio"); }, 5s));
    // Kept for people to compare the window with its description.
    WaitUntil([&] { return !BusyPanelVisible(launcher.window); }, 5s);
    Sleep(300);
    EXPECT_TRUE(SaveScreenshot(ArtifactsFolder() / L"menu-window.png"));

    // The close button minimises; the program goes on.
    ASSERT_TRUE(ClickCloseButton(launcher.window));
    EXPECT_TRUE(WaitUntil([&] { return IsIconic(launcher.window) != FALSE; }, 5s));
    Sleep(300);
    EXPECT_TRUE(launcher.process->Running());

    // A double-click on the tray icon brings it back.
    SendTrayMessage(launcher.window, WM_LBUTTONDBLCLK);
    EXPECT_TRUE(
        WaitUntil([&] { return !IsIconic(launcher.window) && IsWindowVisible(launcher.window); }, 5s));

    QuitThroughTrayMenu(launcher.window);
    EXPECT_EQ(launcher.process->WaitForExit(10s), std::optional<DWORD>(0));
}

TEST(MenuWindow, TrayMessagesOtherThanDoubleClickAndRightButtonDownDoNothing) {
    RunningLauncher launcher;
    ASSERT_NO_FATAL_FAILURE(launcher.Start());
    PostMessageW(launcher.window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return IsIconic(launcher.window) != FALSE; }, 5s));

    for (UINT message : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONUP, WM_MOUSEMOVE, WM_RBUTTONDBLCLK}) {
        SendTrayMessage(launcher.window, message);
        Sleep(250);
        EXPECT_TRUE(IsIconic(launcher.window)) << "message " << message;
        EXPECT_FALSE(VisibleMenuOpen()) << "message " << message;
    }

    // Right button down opens the menu 20 pixels left of and above the screen's corner; the
    // platform keeps it on the screen, so it opens up and to the left of that point.
    SendTrayMessage(launcher.window, WM_RBUTTONDOWN);
    HWND menu = WaitForPopupMenu();
    ASSERT_NE(menu, nullptr);
    RECT r;
    GetWindowRect(menu, &r);
    const int corner_x = GetSystemMetrics(SM_CXSCREEN) - 20, corner_y = GetSystemMetrics(SM_CYSCREEN) - 20;
    EXPECT_LE(r.right, GetSystemMetrics(SM_CXSCREEN));
    EXPECT_LE(r.bottom, GetSystemMetrics(SM_CYSCREEN));
    EXPECT_GE(r.right, corner_x - 2);
    EXPECT_GE(r.bottom, corner_y - 2);

    // Its first item restores the window.
    ClickPopupMenuItem(menu, false);
    EXPECT_TRUE(WaitUntil([&] { return !IsIconic(launcher.window); }, 5s));
    QuitThroughTrayMenu(launcher.window);
    EXPECT_EQ(launcher.process->WaitForExit(10s), std::optional<DWORD>(0));
}

TEST(MenuWindow, RightClickOpensThePopupMenuEverywhereButOnTheLogo) {
    RunningLauncher launcher;
    ASSERT_NO_FATAL_FAILURE(launcher.Start());
    struct Case {
        const char* where;
        POINT point;
        bool menu;
    };
    const Case cases[] = {
        {"background", {200, 620}, true},
        {"wide tile imgInternacao", {100, 180}, true},
        {"square tile imgFaturamento", {930, 400}, true},
        {"hot area imgEmail", {950, 650}, true},
        {"logo imgAeC", {500, 60}, false},
    };
    for (const Case& c : cases) {
        ClickAt(launcher.window, c.point, true);
        HWND menu = WaitForPopupMenu(c.menu ? 5s : 700ms);
        EXPECT_EQ(menu != nullptr, c.menu) << c.where;
        if (menu) {
            RECT r;
            GetWindowRect(menu, &r);
            POINT screen = c.point;
            ClientToScreen(launcher.window, &screen);
            // At the mouse position, unless the platform had to move it onto the screen.
            EXPECT_EQ(r.top, screen.y) << c.where;
            if (screen.x + (r.right - r.left) <= GetSystemMetrics(SM_CXSCREEN)) {
                EXPECT_EQ(r.left, screen.x) << c.where;
            }
            PressKey(VK_ESCAPE);
            WaitUntil([] { return !VisibleMenuOpen(); }, 3s);
        }
    }
    QuitThroughTrayMenu(launcher.window);
    EXPECT_EQ(launcher.process->WaitForExit(10s), std::optional<DWORD>(0));
}

TEST(MenuWindow, FileNamedRelatorioInTheWayShowsTheErrorBoxFirstThenTheWindowWorks) {
    RunningLauncher launcher;
    WriteTextFile(launcher.installation / L"Relatorio", "not a folder");
    launcher.process = std::make_unique<Process>(launcher.installation.Exe().wstring(), L"",
                                                 launcher.installation.Path().wstring());

    HWND box = WaitForDialog(L"Aurevia");
    ASSERT_NE(box, nullptr);
    EXPECT_NE(DialogText(box).find(L"Não Criou o Diretório Relatorio. Contacte o Aurevia."),
              std::wstring::npos)
        << "box text: " << std::string(DialogText(box).begin(), DialogText(box).end());
    HWND menuWindow = WaitForMenuWindow(launcher.process->Id());
    ASSERT_NE(menuWindow, nullptr);
    EXPECT_FALSE(IsWindowVisible(menuWindow)) << "the window shows only after the error box";

    AnswerWithEnter(box);
    launcher.window = WaitForWindow(launcher.process->Id(), kCaption);
    ASSERT_NE(launcher.window, nullptr);
    EXPECT_FALSE(std::filesystem::is_directory(launcher.installation / L"Relatorio"));
    QuitThroughTrayMenu(launcher.window);
    EXPECT_EQ(launcher.process->WaitForExit(10s), std::optional<DWORD>(0));
}
