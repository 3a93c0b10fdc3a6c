#pragma once
// Texts of the message dialog that need no window: the formatted message, its line breaks, and what
// Ctrl+C puts on the clipboard. Portable.
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// Each "%s" takes the next argument, "%%" is a percent sign. Any other placeholder, a "%" at the end,
// or a "%s" with no argument left raises an Error naming the format; unused arguments are ignored.
std::wstring FormatDialogText(std::wstring_view format, std::initializer_list<std::wstring> args);

// Every line break (CR LF, a lone LF, a lone CR) becomes CR LF, as a multi-line edit control needs.
std::wstring WithCrLfLineBreaks(std::wstring_view text);

// A caption without its access-key marks ("&&" stands for a literal "&").
std::wstring WithoutAccessKeyMarks(std::wstring_view caption);

// The access key of a caption, upper-cased ASCII-style only for a..z; 0 when it has none.
wchar_t AccessKeyOf(std::wstring_view caption);

// The dialog as text: hyphen lines around the caption, the message and the button captions (each
// followed by three spaces, "&" removed), CR LF after every part.
std::wstring DialogClipboardText(std::wstring_view caption, std::wstring_view message,
                                 const std::vector<std::wstring>& buttonCaptions);
