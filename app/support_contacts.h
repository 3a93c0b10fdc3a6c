#pragma once
// The vendor's contact details shown in the menu window's hints and used as the support mail's
// recipient. Example values: a deployment puts its own here.
inline constexpr wchar_t kSupportMailbox[] = L"suporte@example.com";
inline constexpr wchar_t kSalesMailbox[] = L"comercial@example.com";
inline constexpr wchar_t kVendorTelephone[] = L"(11) 5555-0100";
