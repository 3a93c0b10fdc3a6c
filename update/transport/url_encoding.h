#pragma once
// How the file service client turns a base URL and request values into the URL it sends.
// Portable: no Windows headers, so the rules are tested natively under the sanitizers too.
#include <string>
#include <string_view>

// Trims leading and trailing blanks and control characters, puts "http://" in front when the text
// names no scheme, and drops trailing "/" characters. A text of blanks only stays empty.
std::wstring NormalizeBaseURL(std::wstring_view url);

// Percent-encodes a whole URL before it is sent. Up to the first "?" backslashes become "/"; in
// the path the characters * < > # % { } | \ ^ [ ] ` + and the double quote, and everything at or
// below the blank or above U+007F, become %XX per UTF-8 byte. In the query the same holds except
// that "+" stays and the apostrophe is encoded too. "&", "=", "?" and "/" always stay.
std::wstring PercentEncodeURL(std::wstring_view url);

// Encodes one query parameter value: UTF-8, a blank becomes "+", and controls, non-ASCII bytes and
// the reserved characters ! # $ & ( ) + , / : ; < = > ? [ \ ] ^ ` { | } ~ " ' @ become %XX.
// "%" itself stays as it is.
std::wstring EncodeQueryValue(std::wstring_view value);

// The list request's URL: the normalised base URL, "/folderlist", then the folder, mask and
// recursive parameters, each only when given (recursive always with an empty value).
std::wstring FolderListURL(std::wstring_view baseURL, std::wstring_view folder, std::wstring_view mask,
                           bool recursive);

// The download request's URL: base URL, "/download?file=" and the remote name joined as they are,
// then normalised and percent-encoded as a whole. A base URL that ends in "/" therefore keeps its
// slash, which gives "//download".
std::wstring DownloadURL(std::wstring_view baseURL, std::wstring_view remoteFileName);
