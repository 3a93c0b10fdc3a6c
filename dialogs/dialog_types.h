#pragma once
// The kinds of message dialog and the buttons a dialog can carry. Portable: no <windows.h>, so the
// layout arithmetic and its tests build in both trees.
#include <array>
#include <cstdint>
#include <initializer_list>
#include <string_view>

enum class TMsgDlgType : std::uint8_t { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

// Fixed ordinals: buttons are created, and shown left to right, in this order.
enum class TMsgDlgBtn : std::uint8_t {
    Yes,
    No,
    OK,
    Cancel,
    Abort,
    Retry,
    Ignore,
    All,
    NoToAll,
    YesToAll,
    Help,
    Close
};

inline constexpr int kMsgDlgBtnCount = 12;

// A set of buttons: bit n stands for the button of ordinal n (bits 12 to 15 are never set).
class TMsgDlgButtons {
  public:
    constexpr TMsgDlgButtons() = default;
    constexpr TMsgDlgButtons(std::initializer_list<TMsgDlgBtn> buttons) {
        for (TMsgDlgBtn b : buttons) mask_ |= Bit(b);
    }
    static constexpr TMsgDlgButtons FromMask(std::uint16_t mask) {
        TMsgDlgButtons s;
        s.mask_ = static_cast<std::uint16_t>(mask & 0x0FFF);
        return s;
    }
    constexpr std::uint16_t Mask() const { return mask_; }
    constexpr bool Contains(TMsgDlgBtn b) const { return (mask_ & Bit(b)) != 0; }
    constexpr bool Empty() const { return mask_ == 0; }
    constexpr int Count() const {
        int n = 0;
        for (std::uint16_t m = mask_; m != 0; m &= static_cast<std::uint16_t>(m - 1)) ++n;
        return n;
    }
    constexpr TMsgDlgButtons& operator|=(TMsgDlgBtn b) {
        mask_ |= Bit(b);
        return *this;
    }
    friend constexpr bool operator==(TMsgDlgButtons, TMsgDlgButtons) = default;

  private:
    static constexpr std::uint16_t Bit(TMsgDlgBtn b) {
        return static_cast<std::uint16_t>(1u << static_cast<unsigned>(b));
    }
    std::uint16_t mask_ = 0;
};

enum class TButtonGlyph : std::uint8_t { None, Yes, Abort, OK, Cancel, Retry, Ignore, All, Help };

struct TMsgDlgButtonInfo {
    std::wstring_view Name;     // the button control's name inside the dialog
    std::wstring_view Caption;  // "&" marks the access key
    int Result;                 // what the dialog returns when this button ends it; 0 keeps it open
    TButtonGlyph Glyph;
};

// Indexed by the button's ordinal.
const std::array<TMsgDlgButtonInfo, kMsgDlgBtnCount>& MsgDlgButtonTable();
const TMsgDlgButtonInfo& ButtonInfo(TMsgDlgBtn button);

// The window text and title line of a dialog type; mtCustom shows the application title.
std::wstring_view DialogTypeCaption(TMsgDlgType type, std::wstring_view applicationTitle);
bool DialogTypeHasIcon(TMsgDlgType type);

// An empty set becomes {Yes, No} for a confirmation and {OK} for every other type.
TMsgDlgButtons EffectiveButtons(TMsgDlgType type, TMsgDlgButtons buttons);
// OK if present, else Yes if present, else Retry (which the layout replaces by the first button of the
// set when Retry is absent).
TMsgDlgBtn PickDefaultButton(TMsgDlgButtons buttons);
// The default button actually used: the given one when it is in the set, else the set's first button.
TMsgDlgBtn ResolveDefaultButton(TMsgDlgButtons buttons, TMsgDlgBtn defaultButton);
// Cancel if present, else No if present, else OK.
TMsgDlgBtn CancelButtonOf(TMsgDlgButtons buttons);
