#include "common/fleet_report_format.h"

#include <algorithm>

#include "common/utf8.h"

namespace {

bool HostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

}  // namespace

bool IsFleetMachineName(std::string_view name) {
    return !name.empty() && name.size() <= kFleetMachineChars && name.front() != '-' &&
           std::all_of(name.begin(), name.end(), HostCharacter);
}

std::string FleetMachineName(std::string_view computerName) {
    std::string name;
    while (!computerName.empty() && name.size() < kFleetMachineChars) {
        const size_t length = std::max<size_t>(DecodeUtf8(computerName).length, 1);
        const char c = computerName.front();
        name.push_back(length == 1 && HostCharacter(c) && !(c == '-' && name.empty()) ? c : '_');
        computerName.remove_prefix(length);
    }
    return name.empty() ? "_" : name;
}

bool IsFleetVersion(std::string_view version) {
    return !version.empty() && version.size() <= kFleetShortChars && version.front() != '.' &&
           version.back() != '.' && std::all_of(version.begin(), version.end(), [](char c) {
               return (c >= '0' && c <= '9') || c == '.';
           });
}

bool IsFleetRingName(std::string_view ring) {
    return ring.size() <= kFleetShortChars && std::all_of(ring.begin(), ring.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
           });
}

bool FleetFormatsTakeFormat2(std::string_view headerValue) {
    while (!headerValue.empty()) {
        const size_t end = std::min(headerValue.find_first_of(", \t"), headerValue.size());
        if (headerValue.substr(0, end) == kFleetReportFormat2) return true;
        headerValue.remove_prefix(std::min(end + 1, headerValue.size()));
    }
    return false;
}
