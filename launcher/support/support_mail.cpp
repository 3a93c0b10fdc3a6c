#include <string>

#include "launcher/support/contacts.h"
#include "launcher/support/support_mail.h"
#include "base/string_convert.h"

ULONG SendSupportMail(TSimpleMapi& AMapi, HWND AParent) {
    // The address is ASCII; the ANSI code page of any workstation keeps it as it is.
    std::string name = WideToUtf8(kSupportMailbox);
    MapiRecipDesc recipient{};
    recipient.ulReserved = 0;
    recipient.ulRecipClass = MAPI_TO;
    recipient.lpszName = name.data();
    recipient.lpszAddress = nullptr;
    recipient.ulEIDSize = 0;
    recipient.lpEntryID = nullptr;

    MapiMessage message{};
    message.nRecipCount = 1;
    message.lpRecips = &recipient;
    return AMapi.SendMail(0, reinterpret_cast<ULONG_PTR>(AParent), &message, MAPI_LOGON_UI | MAPI_DIALOG, 0);
}
