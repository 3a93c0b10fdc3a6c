#pragma once
// The one failure type of aurevia-publish: a message for standard error and the exit status that
// tells a script which kind of failure it was. The statuses are part of the tool's interface
// (listed in its --help); do not renumber them.
#include <stdexcept>
#include <string>

namespace publish {

enum class ExitStatus : int {
    Ok = 0,
    Failed = 1,          // reading the folder or writing the manifest failed; nothing was replaced
    Usage = 2,           // the command line is wrong
    NoFolder = 3,        // the folder (or the key's output folder) does not exist
    UnreadableKey = 4,   // the key file cannot be read, or the key text is malformed
    OtherKindOfKey = 5,  // a key, but not an ECDSA P-256 one
    BadSignature = 6,    // manifest or signature missing or unreadable, or the signature does not verify
    Expired = 7,         // the manifest's expiry has passed
    Mismatch = 8,        // the folder's files differ from the manifest
    NotFound = 9,        // the release named is not kept on the server
    NotCertified = 10,   // the root in force does not certify the key for this role now, or the key may
                         // not sign this root draft
    RootRefused = 11,    // the root draft (or the server's root) breaks the chain rules
};

class PublishError : public std::runtime_error {
  public:
    PublishError(ExitStatus status, const std::string& message)
        : std::runtime_error(message), Status(status) {}
    ExitStatus Status;
};

}  // namespace publish
