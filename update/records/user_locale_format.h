#pragma once
// The user's locale date and time format for the messages of the ISO 8601 reader. Windows only.
#include "update/records/iso8601.h"

// The user's short date and time pictures and AM/PM designators (GetLocaleInfoEx); a picture the
// locale does not give keeps the default of TDateTimeFormat.
TDateTimeFormat UserLocaleDateTimeFormat();

// Makes the user's locale format the one record decoding writes its messages with. Call once at
// start-up, before the first decoding.
void UseUserLocaleDateTimeFormat();
