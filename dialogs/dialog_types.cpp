#include "dialogs/dialog_types.h"

const std::array<TMsgDlgButtonInfo, kMsgDlgBtnCount>& MsgDlgButtonTable() {
    // Cancel answers IDABORT (3), not IDCANCEL (2): callers of the suite compare against 3.
    static const std::array<TMsgDlgButtonInfo, kMsgDlgBtnCount> table{{
        {L"Yes", L"&Sim", 6, TButtonGlyph::Yes},
        {L"No", L"&Não", 7, TButtonGlyph::Abort},
        {L"OK", L"&OK", 1, TButtonGlyph::OK},
        {L"Cancel", L"&Cancelar", 3, TButtonGlyph::Cancel},
        {L"Abort", L"&Abortar", 3, TButtonGlyph::Abort},
        {L"Retry", L"&Tentar", 4, TButtonGlyph::Retry},
        {L"Ignore", L"&Ignorar", 5, TButtonGlyph::Ignore},
        {L"All", L"Todos", 12, TButtonGlyph::All},
        {L"NoToAll", L"Não para todos", 13, TButtonGlyph::None},
        {L"YesToAll", L"Sim para todos", 14, TButtonGlyph::None},
        {L"Help", L"&Ajuda", 0, TButtonGlyph::Help},
        {L"Close", L"Fechar", 0, TButtonGlyph::None},
    }};
    return table;
}

const TMsgDlgButtonInfo& ButtonInfo(TMsgDlgBtn button) {
    return MsgDlgButtonTable()[static_cast<std::size_t>(button)];
}

std::wstring_view DialogTypeCaption(TMsgDlgType type, std::wstring_view applicationTitle) {
    switch (type) {
        case TMsgDlgType::mtWarning:
            return L"Aviso";
        case TMsgDlgType::mtError:
            return L"Falha";
        case TMsgDlgType::mtInformation:
            return L"Informação";
        case TMsgDlgType::mtConfirmation:
            return L"Confirmação";
        case TMsgDlgType::mtCustom:
            break;
    }
    return applicationTitle;
}

bool DialogTypeHasIcon(TMsgDlgType type) { return type != TMsgDlgType::mtCustom; }

TMsgDlgButtons EffectiveButtons(TMsgDlgType type, TMsgDlgButtons buttons) {
    if (!buttons.Empty()) return buttons;
    if (type == TMsgDlgType::mtConfirmation) return {TMsgDlgBtn::Yes, TMsgDlgBtn::No};
    return {TMsgDlgBtn::OK};
}

TMsgDlgBtn PickDefaultButton(TMsgDlgButtons buttons) {
    if (buttons.Contains(TMsgDlgBtn::OK)) return TMsgDlgBtn::OK;
    if (buttons.Contains(TMsgDlgBtn::Yes)) return TMsgDlgBtn::Yes;
    return TMsgDlgBtn::Retry;
}

TMsgDlgBtn ResolveDefaultButton(TMsgDlgButtons buttons, TMsgDlgBtn defaultButton) {
    if (buttons.Contains(defaultButton)) return defaultButton;
    for (int i = 0; i < kMsgDlgBtnCount; ++i) {
        const auto b = static_cast<TMsgDlgBtn>(i);
        if (buttons.Contains(b)) return b;
    }
    return defaultButton;
}

TMsgDlgBtn CancelButtonOf(TMsgDlgButtons buttons) {
    if (buttons.Contains(TMsgDlgBtn::Cancel)) return TMsgDlgBtn::Cancel;
    if (buttons.Contains(TMsgDlgBtn::No)) return TMsgDlgBtn::No;
    return TMsgDlgBtn::OK;
}
