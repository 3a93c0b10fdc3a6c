// The busy panel's progress line: it fits the panel at every dpi the window may meet, measured with
// the panel's own font, and it follows a real download that the scripted server slows down.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>

#include "launcher/window/busy_panel.h"
#include "tests/support/message_pump.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_files.h"
#include "update/report/fetch_progress.h"
#include "update/updater/files_updater.h"

namespace {

constexpr RECT kPanelDesign{302, 285, 302 + 369, 285 + 143};

// A plain top-level window to carry the panel.
struct Host {
    unique_hwnd window;
    TBusyPanel panel;
    explicit Host(int ADpi) {
        window.reset(CreateWindowExW(0, L"STATIC", L"host", WS_POPUP, 0, 0, MulDiv(1018, ADpi, 96),
                                     MulDiv(708, ADpi, 96), nullptr, nullptr, GetModuleHandleW(nullptr),
                                     nullptr));
        panel.Create(window.get(), kPanelDesign, ADpi);
    }
};

}  // namespace

TEST(ProgressLine, TheLongestLineFitsThePanelAtEveryDpi) {
    // Three-digit file counts and the widest sizes below the next unit, in the panel's font.
    const std::wstring longest = ProgressText({999, 999, 1'073'689'395, 1'073'689'395});
    ASSERT_EQ(longest, L"999 de 999 arquivos \u00B7 1023,9 MB de 1023,9 MB");
    for (const int dpi : {96, 108, 120, 144, 168, 192, 240, 288}) {
        Host host(dpi);
        const RECT line = host.panel.ProgressRect();
        RECT panel;
        GetClientRect(host.panel.Handle(), &panel);
        HDC dc = GetDC(host.panel.Handle());
        const HGDIOBJ old = SelectObject(dc, host.panel.ProgressFont());
        SIZE size{};
        GetTextExtentPoint32W(dc, longest.c_str(), static_cast<int>(longest.size()), &size);
        SelectObject(dc, old);
        ReleaseDC(host.panel.Handle(), dc);
        EXPECT_LE(size.cx, line.right - line.left) << dpi << " dpi";
        EXPECT_LE(size.cy, line.bottom - line.top) << dpi << " dpi";
        EXPECT_GE(line.left, 0) << dpi;
        EXPECT_LE(line.right, panel.right) << dpi;
        EXPECT_LE(line.bottom, panel.bottom) << dpi;
        // Below the "Aguarde Atualizando" label (67 + 37 at 96 dpi).
        EXPECT_GE(line.top, MulDiv(104, dpi, 96)) << dpi;
    }
}

TEST(ProgressLine, FollowsASlowDownloadAndGoesWhenTheUpdateIsOver) {
    TempFolder local;
    CreateDirectoryW((local / L"Relatorio").c_str(), nullptr);
    ScriptedServer server;
    server.On("/folderlist",
              ScriptedServer::Response("HTTP/1.1 200 OK", "Content-Type: application/json\r\n",
                                       R"([{"FileName":"Admission.exe","Age":"2024-01-10T10:00:00.000"}])"));
    // 2 MB in 20 pieces, 80 ms apart: long enough for the panel's timer to see it move.
    constexpr size_t kPiece = 100 * 1024, kPieces = 20;
    server.On("/download", [](SOCKET connection, const ReceivedRequest&) {
        ScriptedServer::Send(connection,
                             "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                 std::to_string(kPiece * kPieces) + "\r\n\r\n");
        for (size_t i = 0; i < kPieces; ++i) {
            ScriptedServer::Send(connection, std::string(kPiece, 'x'));
            Sleep(80);
        }
    });

    Host host(96);
    std::atomic<bool> done{false};
    auto updater = TFilesUpdater::New(local.Path(), L"", server.BaseURL(), [&] { done = true; });
    updater->Execute(L"Admission.exe", false);
    host.panel.ShowProgress(updater->Progress());
    std::wstring midway;
    ASSERT_TRUE(PumpUntil(
        [&] {
            const std::wstring& line = host.panel.ProgressLine();
            if (line.find(L"0 de 1 arquivo \u00B7 ") == 0 && line.find(L" KB de ") == std::wstring::npos &&
                line.find(L"MB de 2,0 MB") != std::wstring::npos &&
                line.find(L"0,0 MB de") == std::wstring::npos)
                midway = line;
            return done.load();
        },
        30000));
    EXPECT_FALSE(midway.empty()) << "no reading between the first and the last piece";
    PumpFor(2 * TBusyPanel::kProgressMilliseconds);
    EXPECT_EQ(host.panel.ProgressLine(), L"1 de 1 arquivo \u00B7 2,0 MB de 2,0 MB");
    EXPECT_EQ(ReadWholeFile(local / L"Admission.exe").size(), kPiece * kPieces);
    host.panel.ShowProgress(nullptr);
    EXPECT_EQ(host.panel.ProgressLine(), L"");
}

TEST(ProgressLine, NoLineWhileNothingIsToBeFetched) {
    Host host(96);
    auto progress = std::make_shared<TFetchProgress>();
    host.panel.ShowProgress(progress);
    PumpFor(2 * TBusyPanel::kProgressMilliseconds);
    EXPECT_EQ(host.panel.ProgressLine(), L"");
}
