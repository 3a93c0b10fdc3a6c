#pragma once
// The vendor's contact details shown in the window's hints and used by the support mail.
constexpr const wchar_t* kSupportMailbox = L"suporte@aurevia.com.br";
constexpr const wchar_t* kSalesMailbox = L"comercial@aurevia.com.br";
constexpr const wchar_t* kVendorTelephone = L"(11) 3090-4520";
