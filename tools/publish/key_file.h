#pragma once
// Reading a key file without trusting the path: a FIFO would block the open or the read forever,
// /dev/zero would never end and a folder is no key. The path is examined before it is opened, opened
// without blocking, examined again (it may have been swapped) and read up to a small bound.
#include <filesystem>
#include <string>

#include "tools/publish/publish_error.h"

namespace publish {

// A key file is a few hundred bytes; anything past this bound is not one.
inline constexpr size_t kMostKeyFileSize = 64 * 1024;

// The bytes of a key file. Raises PublishError(status) naming `what` ("private key", "public key
// file") when the path is missing, not a regular file, unreadable or larger than the bound.
std::string ReadKeyFile(const std::filesystem::path& file, const std::string& what, ExitStatus status);

// The same for any small file that must be a regular one (a signed document), up to `most` bytes.
std::string ReadRegularFile(const std::filesystem::path& file, const std::string& what, ExitStatus status,
                            size_t most);

}  // namespace publish
