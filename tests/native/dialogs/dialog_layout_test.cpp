#include <gtest/gtest.h>

#include "dialogs/dialog_layout.h"
#include "dialogs/dialog_types.h"

namespace {

TEST(MulDivRound, RoundsToNearestWithHalvesAwayFromZero) {
    EXPECT_EQ(MulDivRound(8, 7, 4), 14);
    EXPECT_EQ(MulDivRound(10, 21, 8), 26);  // 26.25
    EXPECT_EQ(MulDivRound(14, 20, 8), 35);  // 35.0
    EXPECT_EQ(MulDivRound(14, 21, 8), 37);  // 36.75
    EXPECT_EQ(MulDivRound(8, 19, 8), 19);
    EXPECT_EQ(MulDivRound(1, 3, 2), 2);    // 1.5 up
    EXPECT_EQ(MulDivRound(-1, 3, 2), -2);  // -1.5 away from zero
    EXPECT_EQ(MulDivRound(5, 5, 0), -1);
}

// Measures of a 1920 × 1080 screen with a 4 × 4 frame, cx 7 and cy 21, unless a case says otherwise.
DialogMeasures Base() {
    DialogMeasures m;
    m.cx = 7;
    m.cy = 21;
    m.screenWidth = 1920;
    m.screenHeight = 1080;
    m.frameWidth = 4;
    m.frameHeight = 4;
    m.buttonCount = 1;
    m.widestButton = 30;
    return m;
}

struct LayoutCase {
    const char* name;
    int textWidth, textHeight;
    bool hasIcon;
    int buttonCount, widestButton;
    // expected
    int clientWidth, clientHeight;
    DialogRect memo;
    bool scrolls;
    int firstButtonX, buttonWidth;
};

// Hm 14, Vm 21, Vs 26, Bw ≥ 88, Bh 37, Bs 7, half screen 540.
const LayoutCase kLayoutCases[] = {
    // One word: the text block is 350 wide, the button group of one centred in it.
    {"OneWordNotice",
     60,
     21,
     false,
     1,
     30,
     7 + 350,
     21 + 32 + 21 + 37 + 26 + 42,
     {14, 53, 336, 27},
     false,
     (357 - 88) / 2,
     88},
    // The icon pushes the memo right; T = 2·14 + 400 + 32 + 26 = 486, T2 = 4 + 486 + 2 = 492.
    {"IconAndWideText",
     400,
     42,
     true,
     2,
     30,
     7 + 492,
     42 + 32 + 21 + 37 + 26 + 42,
     {46, 53, 446, 48},
     false,
     (499 - (2 * 88 + 7)) / 2,
     88},
    // Taller than half the screen: content and memo capped, a scroll bar, client height Sh + Bh + Vs + 2·Vm.
    {"TallerThanHalfTheScreen",
     500,
     2000,
     true,
     1,
     30,
     7 + 4 + 2 * 14 + 500 + 32 + 26 + 2,
     540 + 37 + 26 + 42,
     {46, 53, 546, 540 - 42},
     true,
     (599 - 88) / 2,
     88},
    // Many buttons: the group is wider than the text block and sets the client width; a wide caption
    // widens every button.
    {"ManyButtonsWithAWideCaption",
     60,
     21,
     false,
     12,
     120,
     7 + 12 * 120 + 11 * 7,
     21 + 32 + 21 + 37 + 26 + 42,
     {14, 53, 336, 27},
     false,
     3,
     120},
};

class LayoutTable : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutTable, PlacesMemoButtonsAndClientArea) {
    const LayoutCase& c = GetParam();
    DialogMeasures m = Base();
    m.textWidth = c.textWidth;
    m.textHeight = c.textHeight;
    m.hasIcon = c.hasIcon;
    m.buttonCount = c.buttonCount;
    m.widestButton = c.widestButton;
    const DialogLayout l = LayoutDialog(m);

    EXPECT_EQ(l.clientWidth, c.clientWidth);
    EXPECT_EQ(l.clientHeight, c.clientHeight);
    EXPECT_EQ(l.memo, c.memo);
    EXPECT_EQ(l.memoScrolls, c.scrolls);
    EXPECT_EQ(l.firstButtonX, c.firstButtonX);
    EXPECT_EQ(l.buttonWidth, c.buttonWidth);
    // Invariants of every layout: the strip holds the buttons under the content, and the window is
    // centred on the screen.
    EXPECT_EQ(l.stripHeight, l.buttonHeight + l.vSpacing + l.vMargin);
    EXPECT_EQ(l.left, 1920 / 2 - (l.clientWidth + 4) / 2);
    EXPECT_EQ(l.top, 1080 / 2 - (l.clientHeight + 4) / 2);
    EXPECT_EQ(l.icon, (c.hasIcon ? DialogRect{14, 10, 32, 32} : DialogRect{}));
}

INSTANTIATE_TEST_SUITE_P(Dialogs, LayoutTable, ::testing::ValuesIn(kLayoutCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Layout, MeasuresFromCharacterSize) {
    DialogMeasures m = Base();
    m.cx = 6;
    m.cy = 15;
    m.widestButton = 0;
    const DialogLayout l = LayoutDialog(m);
    EXPECT_EQ(l.hMargin, 12);
    EXPECT_EQ(l.vMargin, 15);
    EXPECT_EQ(l.vSpacing, 19);  // 18.75
    EXPECT_EQ(l.buttonWidth, 75);
    EXPECT_EQ(l.buttonHeight, 26);  // 26.25
    EXPECT_EQ(l.buttonSpacing, 6);
    EXPECT_EQ(l.titleTop, 9);
}

TEST(Luminance, GreyAtLuminance200IsTheStripColour) {
    EXPECT_EQ(ColorWithLuminance(0xF5F5F5, 200), 0xD4D4D4u);  // 212.5 goes to the even 212
    EXPECT_EQ(ColorWithLuminance(0xF5F5F5, 240), 0xFFFFFFu);
    EXPECT_EQ(ColorWithLuminance(0xF5F5F5, 0), 0x000000u);
    EXPECT_EQ(ColorWithLuminance(0x000000, 120), 0x808080u);  // 127.5 goes to the even 128
}

TEST(Luminance, KeepsHueOfAColour) {
    // Pure red (0x0000FF as COLORREF) at luminance 60 is a dark red, half the brightness.
    EXPECT_EQ(ColorWithLuminance(0x0000FF, 60), 0x000080u);
    // Pure blue at its own luminance comes back unchanged.
    EXPECT_EQ(ColorWithLuminance(0xFF0000, 120), 0xFF0000u);
}

TEST(Buttons, TableHasTheFixedOrdinalsCaptionsAndResults) {
    struct Row {
        TMsgDlgBtn b;
        const wchar_t* caption;
        int result;
        TButtonGlyph glyph;
    };
    const Row rows[] = {
        {TMsgDlgBtn::Yes, L"&Sim", 6, TButtonGlyph::Yes},
        {TMsgDlgBtn::No, L"&Não", 7, TButtonGlyph::Abort},
        {TMsgDlgBtn::Cancel, L"&Cancelar", 3, TButtonGlyph::Cancel},
        {TMsgDlgBtn::All, L"Todos", 12, TButtonGlyph::All},
        {TMsgDlgBtn::YesToAll, L"Sim para todos", 14, TButtonGlyph::None},
        {TMsgDlgBtn::Help, L"&Ajuda", 0, TButtonGlyph::Help},
        {TMsgDlgBtn::Close, L"Fechar", 0, TButtonGlyph::None},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(ButtonInfo(r.b).Caption, r.caption);
        EXPECT_EQ(ButtonInfo(r.b).Result, r.result);
        EXPECT_EQ(ButtonInfo(r.b).Glyph, r.glyph);
    }
    EXPECT_EQ(TMsgDlgButtons({TMsgDlgBtn::Yes, TMsgDlgBtn::Close}).Mask(), 0x0801);
    EXPECT_EQ(TMsgDlgButtons::FromMask(0xFFFF).Count(), 12);
}

TEST(Buttons, EmptySetDefaultAndCancelRules) {
    using B = TMsgDlgBtn;
    EXPECT_EQ(EffectiveButtons(TMsgDlgType::mtConfirmation, {}), TMsgDlgButtons({B::Yes, B::No}));
    EXPECT_EQ(EffectiveButtons(TMsgDlgType::mtInformation, {}), TMsgDlgButtons({B::OK}));
    EXPECT_EQ(EffectiveButtons(TMsgDlgType::mtError, {B::Abort}), TMsgDlgButtons({B::Abort}));

    struct Row {
        TMsgDlgButtons set;
        B picked, resolved, cancel;
    };
    const Row rows[] = {
        {{B::OK, B::Cancel}, B::OK, B::OK, B::Cancel},
        {{B::Yes, B::No}, B::Yes, B::Yes, B::No},
        {{B::Yes, B::No, B::Cancel}, B::Yes, B::Yes, B::Cancel},
        {{B::Retry, B::Ignore}, B::Retry, B::Retry, B::OK},
        // Retry absent: the first button of the set becomes the default.
        {{B::Abort, B::Ignore}, B::Retry, B::Abort, B::OK},
        {{B::Help, B::Close}, B::Retry, B::Help, B::OK},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(PickDefaultButton(r.set), r.picked) << r.set.Mask();
        EXPECT_EQ(ResolveDefaultButton(r.set, PickDefaultButton(r.set)), r.resolved) << r.set.Mask();
        EXPECT_EQ(CancelButtonOf(r.set), r.cancel) << r.set.Mask();
    }
    // A given default outside the set also falls to the first button.
    EXPECT_EQ(ResolveDefaultButton({B::No, B::Cancel}, B::Yes), B::No);
}

TEST(DialogType, CaptionsAndIcons) {
    EXPECT_EQ(DialogTypeCaption(TMsgDlgType::mtWarning, L"X"), L"Aviso");
    EXPECT_EQ(DialogTypeCaption(TMsgDlgType::mtError, L"X"), L"Falha");
    EXPECT_EQ(DialogTypeCaption(TMsgDlgType::mtInformation, L"X"), L"Informação");
    EXPECT_EQ(DialogTypeCaption(TMsgDlgType::mtConfirmation, L"X"), L"Confirmação");
    EXPECT_EQ(DialogTypeCaption(TMsgDlgType::mtCustom, L"Aurevia"), L"Aurevia");
    EXPECT_FALSE(DialogTypeHasIcon(TMsgDlgType::mtCustom));
    EXPECT_TRUE(DialogTypeHasIcon(TMsgDlgType::mtWarning));
}

}  // namespace
