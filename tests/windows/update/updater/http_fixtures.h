#pragma once
// What the updater's service tests need beyond the scripted server: the reference file service run
// as a Linux process, and the list answers and download names of the protocol.
#include <string>
#include <utility>
#include <vector>

#include "base/date_time.h"
#include "support/scripted_server.h"

// The reference file service serving a folder, started through Wine's launching of Linux programs
// and stopped with SIGTERM when the fixture goes. Available() is false when the service has not been
// built (the native tree); the tests that need it then skip.
class ReferenceService {
  public:
    // folder: a Windows path on Wine's Z: drive (the Linux root).
    explicit ReferenceService(const std::wstring& folder);
    ~ReferenceService();
    ReferenceService(const ReferenceService&) = delete;
    ReferenceService& operator=(const ReferenceService&) = delete;

    bool Available() const { return port_ != 0; }
    std::wstring URL() const;

  private:
    std::wstring pidFile_, portFile_;
    int port_ = 0;
};

// The Linux path of a Windows path on Wine's Z: drive (the Linux root).
std::wstring LinuxPathOf(const std::wstring& windowsPath);
// Percent-decodes a query value as the tests need it (%XX only).
std::string PercentDecoded(const std::string& text);
// The file a download request asks for, decoded; empty for any other request.
std::string RequestedFile(const ReceivedRequest& request);
// A local age as the service writes it: "2022-01-10T14:32:05.123".
std::string ISOAge(TDateTime age);
// JSON list text of (name, ISO age) pairs, names escaped for JSON.
std::string FileListJSON(const std::vector<std::pair<std::string, std::string>>& files);
