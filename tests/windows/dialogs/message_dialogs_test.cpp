#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "dialog_driver.h"
#include "dialogs/dialog_text.h"
#include "dialogs/message_dialogs.h"
#include "dialogs/message_form.h"

namespace {
using B = TMsgDlgBtn;
using T = TMsgDlgType;

std::wstring LongMessage() {
    std::wstring text;
    for (int i = 1; i <= 120; ++i) text += L"Linha " + std::to_wstring(i) + L" da mensagem longa que rola.\n";
    return text;
}

// ---------------------------------------------------------------------------------------------
// Layout: the rectangles of the real windows agree with the arithmetic fed with the real measures.

struct LayoutCase {
    const char* name;
    T type;
    std::wstring text;
    TMsgDlgButtons buttons;
};

class RealLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(RealLayout, ControlsSitWhereTheArithmeticPutsThem) {
    const LayoutCase& c = GetParam();
    auto form = NewDialogForm(c.text, c.type, c.buttons);
    const DialogMeasures& m = form->Measures();
    const DialogLayout l = LayoutDialog(m);
    HWND dlg = form->Handle();

    EXPECT_EQ(m.frameWidth, 4);
    EXPECT_EQ(m.frameHeight, 4);
    EXPECT_GT(m.cx, 0);
    EXPECT_EQ(m.screenWidth, GetSystemMetrics(SM_CXSCREEN));

    RECT client, outer;
    GetClientRect(dlg, &client);
    GetWindowRect(dlg, &outer);
    EXPECT_EQ(client.right, l.clientWidth);
    EXPECT_EQ(client.bottom, l.clientHeight);
    EXPECT_EQ(outer.left, l.left);
    EXPECT_EQ(outer.top, l.top);

    const std::wstring caption(DialogTypeCaption(c.type, L"Aurevia"));
    EXPECT_EQ(TextOf(dlg), caption);
    ASSERT_NE(form->Title, nullptr);
    EXPECT_EQ(TextOf(form->Title), caption);
    const RECT title = RectInParent(form->Title);
    EXPECT_EQ(title.left, 0);
    EXPECT_EQ(title.top, l.titleTop);
    EXPECT_EQ(title.right, l.clientWidth);

    HWND image = GetDlgItem(dlg, kImageId);
    if (DialogTypeHasIcon(c.type)) {
        ASSERT_NE(image, nullptr);
        const RECT r = RectInParent(image);
        EXPECT_EQ(r.left, l.icon.left);
        EXPECT_EQ(r.top, l.icon.top);
        EXPECT_EQ(r.right - r.left, 32);
        EXPECT_EQ(r.bottom - r.top, 32);
    } else {
        EXPECT_EQ(image, nullptr);
    }

    HWND memo = GetDlgItem(dlg, kMessageId);
    ASSERT_EQ(memo, form->Message->Handle());
    const RECT mr = RectInParent(memo);
    EXPECT_EQ(mr.left, l.memo.left);
    EXPECT_EQ(mr.top, l.memo.top);
    EXPECT_EQ(mr.right - mr.left, l.memo.width);
    EXPECT_EQ(mr.bottom - mr.top, l.memo.height);
    EXPECT_EQ((GetWindowLongW(memo, GWL_STYLE) & WS_VSCROLL) != 0, l.memoScrolls);
    EXPECT_EQ(TextOf(memo), WithCrLfLineBreaks(c.text));
    EXPECT_TRUE(GetWindowLongW(memo, GWL_EXSTYLE) & WS_EX_TRANSPARENT);
    EXPECT_TRUE(GetWindowLongW(memo, GWL_STYLE) & ES_READONLY);

    const RECT strip = RectInParent(form->ButtonPanel);
    EXPECT_EQ(strip.left, 0);
    EXPECT_EQ(strip.right, l.clientWidth);
    EXPECT_EQ(strip.bottom, l.clientHeight);
    EXPECT_EQ(strip.bottom - strip.top, l.buttonHeight + l.vSpacing + l.vMargin);

    const TMsgDlgButtons set = EffectiveButtons(c.type, c.buttons);
    ASSERT_EQ(static_cast<int>(form->Buttons().size()), set.Count());
    int x = l.firstButtonX;
    int last = -1;
    for (const auto& [ordinal, button] : form->Buttons()) {
        EXPECT_GT(static_cast<int>(ordinal), last) << "buttons are created in ordinal order";
        last = static_cast<int>(ordinal);
        EXPECT_EQ(GetParent(button), form->ButtonPanel);
        EXPECT_EQ(TextOf(button), ButtonInfo(ordinal).Caption);
        const RECT br = RectInParent(button);
        EXPECT_EQ(br.left, x);
        EXPECT_EQ(br.top, l.vSpacing);
        EXPECT_EQ(br.right - br.left, l.buttonWidth);
        EXPECT_EQ(br.bottom - br.top, l.buttonHeight);
        EXPECT_GE(l.buttonWidth, ButtonWidthCache()[static_cast<std::size_t>(ordinal)]);
        x += l.buttonWidth + l.buttonSpacing;
    }

    EXPECT_TRUE(GetClassLongW(dlg, GCL_STYLE) & CS_DROPSHADOW);
    EXPECT_FALSE(GetWindowLongW(dlg, GWL_STYLE) & (WS_CAPTION | WS_SYSMENU | WS_THICKFRAME));
    BYTE alpha = 0;
    DWORD flags = 0;
    ASSERT_TRUE(GetLayeredWindowAttributes(dlg, nullptr, &alpha, &flags));
    EXPECT_EQ(alpha, 245);
}

INSTANTIATE_TEST_SUITE_P(
    Dialogs, RealLayout,
    ::testing::Values(
        LayoutCase{"Notice", T::mtCustom, L"Aplicação atualizada com sucesso!", {B::OK}},
        LayoutCase{"OneWordWarning", T::mtWarning, L"Atenção", {}},
        LayoutCase{"ConfirmationWithoutButtons", T::mtConfirmation, L"Continuar?", {}},
        LayoutCase{"TabsAndLineBreaks",
                   T::mtInformation,
                   L"Módulo não instalado.\n\tC:\\Aurevia\\x.exe",
                   {B::OK, B::Cancel}},
        LayoutCase{"LongScrollingError", T::mtError, LongMessage(), {B::Abort, B::Retry, B::Ignore}},
        LayoutCase{"EveryButton", T::mtInformation, L"Todos os botões", TMsgDlgButtons::FromMask(0x0FFF)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RealLayout, OneWordAndTallMessagesHitTheirLimits) {
    auto word = NewDialogForm(L"Ok", T::mtCustom, {B::OK});
    RECT client;
    GetClientRect(word->Handle(), &client);
    EXPECT_EQ(client.right, word->Layout().hMargin / 2 + 350);

    auto tall = NewDialogForm(LongMessage(), T::mtError, {B::OK});
    const DialogLayout& l = tall->Layout();
    GetClientRect(tall->Handle(), &client);
    EXPECT_EQ(client.bottom, GetSystemMetrics(SM_CYSCREEN) / 2 + l.buttonHeight + l.vSpacing + 2 * l.vMargin);
    EXPECT_TRUE(l.memoScrolls);
    EXPECT_EQ(l.memo.height, GetSystemMetrics(SM_CYSCREEN) / 2 - 2 * l.vMargin);
}

// The object is attached at WM_NCCREATE, so creation's own messages (the frame's size among them)
// are already its. Seen through a hook: what the window's user data holds after each message.
struct CreationMessage {
    UINT message;
    LONG_PTR object;
};
std::vector<CreationMessage>& CreationMessages() {
    static std::vector<CreationMessage> messages;
    return messages;
}
LRESULT CALLBACK RecordFormMessages(int code, WPARAM wp, LPARAM lp) {
    const auto& call = *reinterpret_cast<const CWPRETSTRUCT*>(lp);
    wchar_t cls[64];
    if (code == HC_ACTION && GetClassNameW(call.hwnd, cls, 64) && lstrcmpW(cls, kFormClass) == 0)
        CreationMessages().push_back({call.message, GetWindowLongPtrW(call.hwnd, GWLP_USERDATA)});
    return CallNextHookEx(nullptr, code, wp, lp);
}

TEST(Creation, FirstMessagesReachTheFormObject) {
    CreationMessages().clear();
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROCRET, RecordFormMessages, nullptr, GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    auto form = std::make_unique<TMessageForm>(nullptr);
    UnhookWindowsHookEx(hook);
    const auto object = reinterpret_cast<LONG_PTR>(form.get());

    const auto& seen = CreationMessages();
    const auto nccreate =
        std::find_if(seen.begin(), seen.end(), [](auto& m) { return m.message == WM_NCCREATE; });
    ASSERT_NE(nccreate, seen.end());
    std::vector<UINT> handled;
    for (auto it = nccreate; it != seen.end(); ++it) {
        EXPECT_EQ(it->object, object) << "message 0x" << std::hex << it->message;
        handled.push_back(it->message);
    }
    for (const UINT expected : {WM_NCCALCSIZE, WM_CREATE})
        EXPECT_NE(std::find(handled.begin(), handled.end(), expected), handled.end()) << expected;
    // The 2-pixel frame came from the object's own WM_NCCALCSIZE during creation.
    RECT client, outer;
    GetClientRect(form->Handle(), &client);
    GetWindowRect(form->Handle(), &outer);
    EXPECT_EQ(outer.right - outer.left - client.right, 4);
    EXPECT_EQ(outer.bottom - outer.top - client.bottom, 4);
}

TEST(RealLayout, TitleFollowsTheWindowWidth) {
    auto form = NewDialogForm(L"Largura", T::mtInformation, {B::OK});
    RECT outer;
    GetWindowRect(form->Handle(), &outer);
    SetWindowPos(form->Handle(), nullptr, 0, 0, outer.right - outer.left + 120, outer.bottom - outer.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT client;
    GetClientRect(form->Handle(), &client);
    const RECT title = RectInParent(form->Title);
    EXPECT_EQ(title.left, 0);
    EXPECT_EQ(title.right, client.right);
    EXPECT_EQ(client.right, form->Layout().clientWidth + 120);
}

TEST(RealLayout, ButtonWidthsComeFromTheProcessCacheOnceMeasured) {
    auto& cache = ButtonWidthCache();
    NewDialogForm(L"medir", T::mtCustom, {B::Close});
    const int measured = cache[static_cast<std::size_t>(B::Close)];
    ASSERT_GT(measured, 8);
    // A cached entry is not measured again: a larger one widens every button of the next dialog.
    cache[static_cast<std::size_t>(B::Close)] = 300;
    auto wide = NewDialogForm(L"largo", T::mtCustom, {B::OK, B::Close});
    EXPECT_EQ(wide->Layout().buttonWidth, 300);
    cache[static_cast<std::size_t>(B::Close)] = measured;
}

// ---------------------------------------------------------------------------------------------
// Ending the dialog from the keyboard and the mouse.

struct KeyCase {
    const char* name;
    T type;
    TMsgDlgButtons buttons;
    std::optional<B> defaultButton;
    std::vector<std::pair<WORD, std::vector<WORD>>> keys;
    int expected;
};

class Keys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(Keys, EndTheDialogWithTheButtonsResult) {
    const KeyCase& c = GetParam();
    const int result = RunDialog(
        [&] {
            auto form = c.defaultButton ? NewDialogForm(L"Mensagem", c.type, c.buttons, *c.defaultButton)
                                        : NewDialogForm(L"Mensagem", c.type, c.buttons);
            return ShowDialogForm(std::move(form), 0, -1, -1, L"");
        },
        [&](HWND dialog) {
            for (const auto& [key, mods] : c.keys) {
                switch (mods.size()) {
                    case 0:
                        PressKey(key);
                        break;
                    case 1:
                        PressKey(key, {mods[0]});
                        break;
                    default:
                        PressKey(key, {mods[0], mods[1]});
                        break;
                }
                Settle(dialog);
            }
        });
    EXPECT_EQ(result, c.expected);
}

const WORD kEnter = VK_RETURN, kEscape = VK_ESCAPE;
INSTANTIATE_TEST_SUITE_P(
    Dialogs, Keys,
    ::testing::Values(
        KeyCase{"NoticeEnter", T::mtCustom, {B::OK}, {}, {{kEnter, {}}}, IDOK},
        KeyCase{"NoticeEscape", T::mtCustom, {B::OK}, {}, {{kEscape, {}}}, IDOK},
        KeyCase{"ConfirmationEnterIsYes", T::mtConfirmation, {}, {}, {{kEnter, {}}}, IDYES},
        KeyCase{"ConfirmationEscapeIsNo", T::mtConfirmation, {}, {}, {{kEscape, {}}}, IDNO},
        KeyCase{"OkCancelEnter", T::mtWarning, {B::OK, B::Cancel}, {}, {{kEnter, {}}}, IDOK},
        KeyCase{"OkCancelEscapeAnswersAbort", T::mtWarning, {B::OK, B::Cancel}, {}, {{kEscape, {}}}, 3},
        KeyCase{"DefaultOutsideTheSetFallsToTheFirst",
                T::mtError,
                {B::No, B::Cancel},
                B::Yes,
                {{kEnter, {}}},
                IDNO},
        KeyCase{"TabMovesFocusAndEnterPressesIt",
                T::mtWarning,
                {B::OK, B::Cancel},
                {},
                {{VK_TAB, {}}, {kEnter, {}}},
                3},
        KeyCase{
            "AltAccessKey", T::mtError, {B::Abort, B::Retry, B::Ignore}, {}, {{'I', {VK_MENU}}}, IDIGNORE},
        KeyCase{"PlainAccessKey", T::mtError, {B::Abort, B::Retry, B::Ignore}, {}, {{'T', {}}}, IDRETRY},
        KeyCase{"YesToAllHasNoAccessKeyButEnterWorks",
                T::mtConfirmation,
                {B::YesToAll, B::NoToAll},
                {},
                {{'S', {}}, {kEnter, {}}},
                13}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Mouse, ClickOnAButtonEndsTheDialog) {
    const int result = RunDialog(
        [] {
            return DialogBox(L"Clique", T::mtWarning, {B::OK, B::Cancel});
        },
        [](HWND dialog) {
            HWND cancel = GetDlgItem(GetDlgItem(dialog, kButtonPanelId), kFirstButtonId + 3);
            RECT r;
            GetWindowRect(cancel, &r);
            SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
            INPUT in[2]{};
            in[0].type = in[1].type = INPUT_MOUSE;
            in[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
            in[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
            SendInput(2, in, sizeof(INPUT));
        });
    EXPECT_EQ(result, 3);
}

TEST(Buttons, HelpAndCloseLeaveTheDialogOpen) {
    std::vector<std::pair<std::int32_t, std::wstring>> helpCalls;
    SetDialogHelpHandler(
        [&](std::int32_t ctx, const std::wstring& file) { helpCalls.emplace_back(ctx, file); });
    bool openAfterHelp = false, openAfterClose = false;
    const int result = RunDialog(
        [] {
            return DialogBox(L"Ajuda?", T::mtInformation, {B::OK, B::Help, B::Close}, 77, -1, -1,
                             L"ajuda.chm");
        },
        [&](HWND dialog) {
            HWND panel = GetDlgItem(dialog, kButtonPanelId);
            PostMessageW(GetDlgItem(panel, kFirstButtonId + static_cast<int>(B::Help)), BM_CLICK, 0, 0);
            Settle(dialog);
            openAfterHelp = IsWindowVisible(dialog);
            PostMessageW(GetDlgItem(panel, kFirstButtonId + static_cast<int>(B::Close)), BM_CLICK, 0, 0);
            Settle(dialog);
            openAfterClose = IsWindowVisible(dialog);
            PressKey(VK_ESCAPE);
        });
    SetDialogHelpHandler(nullptr);
    EXPECT_TRUE(openAfterHelp);
    EXPECT_TRUE(openAfterClose);
    EXPECT_EQ(result, IDOK);
    ASSERT_EQ(helpCalls.size(), 1u);
    EXPECT_EQ(helpCalls[0].first, 77);
    EXPECT_EQ(helpCalls[0].second, L"ajuda.chm");
}

TEST(Buttons, WithoutAnEndingButtonOnlyAQuitEndsTheDialog) {
    bool openAfterKeys = false;
    const int result = RunDialog(
        [] {
            return DialogBox(L"Sem saída", T::mtWarning, {B::Help, B::Close});
        },
        [&](HWND dialog) {
            for (WORD key : {WORD{VK_ESCAPE}, WORD{VK_RETURN}, WORD{'C'}}) {
                PressKey(key);
                Settle(dialog);
            }
            openAfterKeys = IsWindowVisible(dialog);
            PostThreadMessageW(GetWindowThreadProcessId(dialog, nullptr), WM_QUIT, 0, 0);
        });
    EXPECT_TRUE(openAfterKeys);
    EXPECT_EQ(result, 0);
}

// Presses the left button at a screen point, moves by (dx, dy) and releases.
void DragBy(HWND dialog, POINT from, int dx, int dy) {
    SetCursorPos(from.x, from.y);
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    SendInput(1, &in, sizeof in);
    Settle(dialog);
    for (int step = 1; step <= 4; ++step) {
        SetCursorPos(from.x + dx * step / 4, from.y + dy * step / 4);
        in.mi.dwFlags = MOUSEEVENTF_MOVE;
        SendInput(1, &in, sizeof in);
        Sleep(30);
    }
    in.mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(1, &in, sizeof in);
    Settle(dialog);
}

TEST(Mouse, TitleAndBackgroundDragTheDialogButTheMemoDoesNot) {
    struct Moves {
        RECT start, afterTitle, afterBackground, afterMemo;
    } m{};
    RunDialog([] { return DialogBox(L"Arraste-me", T::mtWarning, {B::OK}); },
              [&](HWND dialog) {
                  GetWindowRect(dialog, &m.start);
                  RECT title;
                  GetWindowRect(GetDlgItem(dialog, kTitleId), &title);
                  DragBy(dialog, {(title.left + title.right) / 2, (title.top + title.bottom) / 2}, 40, 30);
                  GetWindowRect(dialog, &m.afterTitle);
                  // Below the icon, left of the memo: the dialog's own background.
                  DragBy(dialog, {m.afterTitle.left + 8, m.afterTitle.top + 60}, -20, 10);
                  GetWindowRect(dialog, &m.afterBackground);
                  RECT memo;
                  GetWindowRect(GetDlgItem(dialog, kMessageId), &memo);
                  DragBy(dialog, {memo.left + 5, memo.top + 5}, 50, 50);
                  GetWindowRect(dialog, &m.afterMemo);
                  PressKey(VK_RETURN);
              });
    EXPECT_EQ(m.afterTitle.left - m.start.left, 40);
    EXPECT_EQ(m.afterTitle.top - m.start.top, 30);
    EXPECT_EQ(m.afterBackground.left - m.afterTitle.left, -20);
    EXPECT_EQ(m.afterBackground.top - m.afterTitle.top, 10);
    EXPECT_EQ(m.afterMemo.left, m.afterBackground.left);
    EXPECT_EQ(m.afterMemo.top, m.afterBackground.top);
}

// ---------------------------------------------------------------------------------------------
// Position, ownership and lifetime.

TEST(Position, GivenLeftKeepsTheComputedTopAndNoneCentres) {
    RECT placed{}, centred{};
    int computedTop = 0;
    RunDialog(
        [&] {
            auto form = NewDialogForm(L"Posição", T::mtCustom, {B::OK});
            computedTop = form->Layout().top;
            return ShowDialogForm(std::move(form), 0, 10, -1, L"");
        },
        [&](HWND dialog) {
            GetWindowRect(dialog, &placed);
            PressKey(VK_RETURN);
        });
    EXPECT_EQ(placed.left, 10);
    EXPECT_EQ(placed.top, computedTop);

    RunDialog([] { return DialogBox(L"Centro", T::mtCustom, {B::OK}); },
              [&](HWND dialog) {
                  GetWindowRect(dialog, &centred);
                  PressKey(VK_RETURN);
              });
    EXPECT_EQ(centred.left, GetSystemMetrics(SM_CXSCREEN) / 2 - (centred.right - centred.left) / 2);
    EXPECT_EQ(centred.top, GetSystemMetrics(SM_CYSCREEN) / 2 - (centred.bottom - centred.top) / 2);
}

TEST(Lifetime, DialogIsOwnedByTheActiveWindowAndDestroyedAfterwards) {
    HWND owner = CreateWindowExW(0, L"STATIC", L"Janela", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 50, 50, 300, 200,
                                 nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(owner, nullptr);
    SetForegroundWindow(owner);
    SetActiveWindow(owner);
    HWND seen = nullptr, seenOwner = nullptr;
    bool ownerEnabledWhileShown = true;
    const int result = RunDialog([] { return DialogBox(L"Dono", T::mtWarning, {}); },
                                 [&](HWND dialog) {
                                     seen = dialog;
                                     seenOwner = GetWindow(dialog, GW_OWNER);
                                     ownerEnabledWhileShown = IsWindowEnabled(owner);
                                     PressKey(VK_RETURN);
                                 });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(seenOwner, owner);
    EXPECT_FALSE(ownerEnabledWhileShown);
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_FALSE(IsWindow(seen));
    DestroyWindow(owner);
}

TEST(Functions, DialogBoxFmtAndNoticeBoxShowTheirText) {
    std::wstring memoText, title;
    bool hasIcon = false;
    const int result = RunDialog(
        [] {
            return DialogBoxFmt(L"Módulo não instalado.\r\n%s", {L"C:\\Aurevia\\Faturamento.exe"},
                                T::mtInformation, {});
        },
        [&](HWND dialog) {
            memoText = TextOf(GetDlgItem(dialog, kMessageId));
            title = TextOf(GetDlgItem(dialog, kTitleId));
            hasIcon = GetDlgItem(dialog, kImageId) != nullptr;
            PressKey(VK_RETURN);
        });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(memoText, L"Módulo não instalado.\r\nC:\\Aurevia\\Faturamento.exe");
    EXPECT_EQ(title, L"Informação");
    EXPECT_TRUE(hasIcon);

    std::wstring noticeTitle;
    RunDialog(
        [] {
            NoticeBox(L"Copia de arquivo falhou! Tente novamente!");
            return 0;
        },
        [&](HWND dialog) {
            noticeTitle = TextOf(GetDlgItem(dialog, kTitleId));
            PressKey(VK_ESCAPE);
        });
    EXPECT_EQ(noticeTitle, L"Aurevia");
}

// ---------------------------------------------------------------------------------------------
// Ctrl+C.

TEST(Copy, CtrlCPutsTheWholeDialogOnTheClipboard) {
    SetClipboardText(L"antes");
    std::wstring copied, afterShift, afterAlt;
    const int result = RunDialog(
        [] {
            NoticeBox(L"Aplicação atualizada com sucesso!");
            return IDOK;
        },
        [&](HWND dialog) {
            PressKey('C', {VK_CONTROL, VK_SHIFT});
            Settle(dialog);
            afterShift = ClipboardText();
            PressKey('C', {VK_CONTROL, VK_MENU});
            Settle(dialog);
            afterAlt = ClipboardText();
            PressKey('C', {VK_CONTROL});
            Settle(dialog);
            copied = ClipboardText();
            PressKey(VK_RETURN);
        });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(afterShift, L"antes");
    EXPECT_EQ(afterAlt, L"antes");
    const std::wstring d = std::wstring(27, L'-') + L"\r\n";
    EXPECT_EQ(copied,
              d + L"Aurevia\r\n" + d + L"Aplicação atualizada com sucesso!\r\n" + d + L"OK   \r\n" + d);
}

// Another process holds the clipboard open until the fixture lets it go.
class HeldClipboard {
  public:
    HeldClipboard()
        : held_(CreateEventW(nullptr, TRUE, FALSE, L"AureviaTestClipboardHeld")),
          release_(CreateEventW(nullptr, TRUE, FALSE, L"AureviaTestClipboardRelease")) {
        wchar_t exe[MAX_PATH];
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring path(exe);
        path = path.substr(0, path.find_last_of(L'\\') + 1) + L"clipboard_holder.exe";
        std::wstring command = L"clipboard_holder AureviaTestClipboardHeld AureviaTestClipboardRelease";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                           &pi)) {
            CloseHandle(pi.hThread);
            process_.reset(pi.hProcess);
        }
    }
    ~HeldClipboard() {
        Release();
        if (process_) WaitForSingleObject(process_.get(), 5000);
    }
    HeldClipboard(const HeldClipboard&) = delete;
    HeldClipboard& operator=(const HeldClipboard&) = delete;

    bool WaitHeld() const { return process_ && WaitForSingleObject(held_.get(), 10000) == WAIT_OBJECT_0; }
    void Release() const { SetEvent(release_.get()); }

  private:
    unique_handle held_, release_, process_;
};

TEST(Copy, HeldClipboardReportsAnErrorAndTheDialogStaysOpen) {
    SetClipboardText(L"antes");
    std::wstring errorText;
    bool held = false, stillOpen = false;
    const int result = RunDialog(
        [] {
            return DialogBox(L"Copiar", T::mtWarning, {B::OK, B::Cancel});
        },
        [&](HWND dialog) {
            HeldClipboard holder;
            held = holder.WaitHeld();
            if (!held) return;
            PressKey('C', {VK_CONTROL});
            // The top-level error display opens a system message box on the UI thread.
            HWND box = nullptr;
            for (int i = 0; i < 100 && !box; ++i) {
                Sleep(50);
                box = FindWindowW(L"#32770", L"Aurevia");
            }
            holder.Release();
            if (!box) return;
            for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
                const std::wstring t = TextOf(c);
                if (t.find(L"clipboard") != std::wstring::npos) errorText = t;
            }
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            Settle(dialog);
            stillOpen = IsWindowVisible(dialog);
            // Posted rather than typed: on a loaded machine the focus may still be on its way back
            // from the error box, and a typed key would land elsewhere.
            PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
        });
    ASSERT_TRUE(held);
    EXPECT_EQ(errorText.rfind(L"Cannot open clipboard: ", 0), 0u) << errorText;
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(result, 3);
    EXPECT_EQ(ClipboardText(), L"antes");
}

// ---------------------------------------------------------------------------------------------
// Screenshots for a person to look at (saved under artifacts/dialogs).

TEST(Screenshots, EveryTypeAndALongMessage) {
    struct Shot {
        const wchar_t* name;
        T type;
        std::wstring text;
        TMsgDlgButtons buttons;
    };
    const Shot shots[] = {
        {L"warning",
         T::mtWarning,
         L"O servidor não respondeu.\nTente novamente em alguns minutos.",
         {B::Retry, B::Ignore, B::Cancel}},
        {L"error", T::mtError, L"MAPI_E_FAILURE: one or more unspecified errors occurred.", {}},
        {L"information", T::mtInformation, L"Módulo não instalado.\r\nC:\\Aurevia\\Faturamento.exe", {}},
        {L"confirmation",
         T::mtConfirmation,
         L"Deseja atualizar todos os módulos?",
         {B::Yes, B::No, B::All, B::YesToAll, B::NoToAll, B::Help}},
        {L"custom", T::mtCustom, L"Aplicação atualizada com sucesso!", {B::OK}},
        {L"long", T::mtError, LongMessage(), {B::OK, B::Abort, B::Close}},
    };
    for (const Shot& s : shots) {
        RunDialog([&] { return DialogBox(s.text, s.type, s.buttons); },
                  [&](HWND dialog) {
                      Sleep(300);
                      SaveScreenshot(dialog, s.name);
                      if (s.type == T::mtError && s.text.size() > 1000) {
                          // Scrolled to the middle: the transparent memo must repaint cleanly.
                          HWND memo = GetDlgItem(dialog, kMessageId);
                          for (int i = 0; i < 3; ++i) PostMessageW(memo, WM_VSCROLL, SB_PAGEDOWN, 0);
                          Sleep(300);
                          SaveScreenshot(dialog, std::wstring(s.name) + L"-scrolled");
                      }
                      PressKey(VK_ESCAPE);
                      if (!WaitClosed(dialog, 1500)) PressKey(VK_RETURN);
                  });
    }
}

}  // namespace
