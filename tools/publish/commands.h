#pragma once
// The three commands of aurevia-publish. Each raises PublishError for a failure; what they print
// on success goes to standard output.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "tools/publish/publish_error.h"

namespace publish {

inline constexpr char kPrivateKeyFileName[] = "publisher-key.pem";
inline constexpr char kPublicKeyFileName[] = "publisher-key.pub";

// Writes a new key pair into an existing folder; never replaces a key that is there.
void RunKeygen(const std::filesystem::path& folder);

struct SignOptions {
    std::filesystem::path folder, key;
    int validDays = 30;
    std::optional<uint64_t> minSerial;  // also lets signing go on over a manifest that cannot be read
};
void RunSign(const SignOptions& options);

// Prints every difference between the folder and its manifest; returns Ok, Expired or Mismatch.
ExitStatus RunVerify(const std::filesystem::path& folder, const std::string& publicKey);

}  // namespace publish
