#pragma once
// The vendor's contact details shown in the window's hints and used by the support mail. Example
// values: a deployment puts its own here.
constexpr const wchar_t* kSupportMailbox = L"suporte@example.com";
constexpr const wchar_t* kSalesMailbox = L"comercial@example.com";
constexpr const wchar_t* kVendorTelephone = L"(11) 5555-0100";
