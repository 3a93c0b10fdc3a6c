#include "base/error.h"

#include <cstdio>

std::string_view ErrorCategoryName(TErrorCategory ACategory) {
    switch (ACategory) {
        case TErrorCategory::Listing:
            return "listing";
        case TErrorCategory::Fetch:
            return "fetch";
        case TErrorCategory::Signature:
            return "signature";
        case TErrorCategory::Expired:
            return "expired";
        case TErrorCategory::Replayed:
            return "replayed";
        case TErrorCategory::Altered:
            return "altered";
        case TErrorCategory::Timeout:
            return "timeout";
        case TErrorCategory::TooLarge:
            return "too_large";
        case TErrorCategory::Disk:
            return "disk";
        case TErrorCategory::Tls:
            return "tls";
        case TErrorCategory::Server:
            return "server";
        case TErrorCategory::Other:
            break;
    }
    return "other";
}

std::string ErrorCodeText(TErrorCode ACode) {
    const char* system = nullptr;
    switch (ACode.System) {
        case TCodeSystem::None:
            return "-";
        case TCodeSystem::Win32:
            system = "win32:";
            break;
        case TCodeSystem::WinHttp:
            system = "winhttp:";
            break;
        case TCodeSystem::Http:
            system = "http:";
            break;
        case TCodeSystem::NtStatus: {
            char text[24];
            std::snprintf(text, sizeof(text), "ntstatus:0x%08X", static_cast<unsigned>(ACode.Value));
            return text;
        }
    }
    return system + std::to_string(ACode.Value);
}

TFailureInfo FailureOf(const std::exception_ptr& AError) {
    try {
        if (AError) std::rethrow_exception(AError);
    } catch (const Error& e) {
        return {e.what(), e.Category(), e.Code()};
    } catch (const std::exception& e) {
        return {e.what(), TErrorCategory::Other, {}};
    } catch (...) {
    }
    return {"unknown error", TErrorCategory::Other, {}};
}

std::string TopLevelErrorText(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
        return message + ".";
    return message;
}
