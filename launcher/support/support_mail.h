#pragma once
// The new, empty mail to the support mailbox. Runs on the UI thread and blocks until the mail program
// returns.
#include <windows.h>

#include "launcher/support/simple_mapi.h"

// Hands Simple MAPI a message with one "to" recipient, the support mailbox given by name for the mail
// program to resolve, and nothing else; the mail program shows its compose window (logon and dialog
// flags). Returns MAPISendMail's result.
ULONG SendSupportMail(TSimpleMapi& AMapi, HWND AParent);
