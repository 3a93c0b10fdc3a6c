#pragma once
// A server folder with release control for the Windows tests, laid out as the publisher's tool lays
// it out: each content once under aurevia-objects\, signed releases under aurevia-releases\ and the
// signed rollout document at the root, all signed by a TestPublisher.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/test_publisher.h"
#include "update/trust/release_documents.h"

struct TestReleaseFile {
    std::string Name;  // as the launcher writes it ("Relatorio\\Rpt.rav")
    std::string Content;
    int64_t AgeUnix = 0;  // the release's age of the file
};

class TestReleaseServer {
  public:
    // AFolder ends in "\". The publisher must outlive the server.
    TestReleaseServer(const TestPublisher& APublisher, std::wstring AFolder);

    // Stores the contents not already stored and writes the signed release ASerial.
    // ABeforeSigning, when given, may change the release (list patches) before it is signed.
    TRelease AddRelease(uint64_t ASerial, const std::vector<TestReleaseFile>& AFiles,
                        const std::function<void(TRelease&)>& ABeforeSigning = {}) const;
    // Writes the signed rollout document; returns its bytes and signature (for replaying it later).
    std::pair<std::string, std::string> SetRollout(const TRollout& ARollout) const;
    // Puts back a document and signature as they were served before.
    void ServeRollout(const std::pair<std::string, std::string>& ADocument) const;
    void RemoveRollout() const;
    // The stored object of a content, as a path in the folder.
    std::wstring ObjectFile(std::string_view AContent) const;

  private:
    const TestPublisher& FPublisher;
    std::wstring FFolder;
};

// "2022-01-10T10:00:00Z"-style instants for the test data, as seconds since 1970 (UTC).
int64_t UnixUtc(int year, int month, int day, int hour, int minute, int second);
// A file's last-write time in whole seconds since 1970 (UTC); -1 when there is no file.
int64_t UnixAgeOf(const std::wstring& APath);
