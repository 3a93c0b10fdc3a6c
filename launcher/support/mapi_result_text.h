#pragma once
// The English texts shown for the results of a Simple MAPI send. Portable: plain numbers in, text out.
#include <string>

// The text for a MAPISendMail result; empty for 0 and for every code without a text of its own.
std::wstring MapiResultText(unsigned long result);
