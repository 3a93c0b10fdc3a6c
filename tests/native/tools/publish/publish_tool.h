#pragma once
// Running aurevia-publish in tests: a temporary folder per test, the tool's exit status and output,
// and a server folder signed with a fresh key.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "update/trust/release_manifest.h"

namespace publish_test {

namespace fs = std::filesystem;

struct ToolResult {
    int status = -1;     // the exit status; -1 when the tool did not exit normally
    std::string output;  // standard output and standard error, interleaved
};

// The tool under test: the sanitised build, or AUREVIA_PUBLISH_PROGRAM when set (to hold another
// build, an older one for instance, to the same tests).
const char* ToolProgram();

// Runs the tool with the arguments; `prefix` goes before the program in the shell command line
// (an environment setting, "umask 0;", "faketime ..."). Without `program`, ToolProgram().
ToolResult RunTool(const std::vector<std::string>& arguments, const std::string& prefix = {},
                   const char* program = nullptr);

std::string ReadBytes(const fs::path& file);
void WriteBytes(const fs::path& file, std::string_view bytes);
TReleaseManifest ReadManifest(const fs::path& folder);

// Every entry under a folder with what a reader would get and what a writer changed: a file's bytes
// and last-write time, a link's target text, "(folder)" for a folder; the lock file aside, which
// stays. Two equal states mean nothing changed byte for byte.
std::map<std::string, std::string> TreeState(const fs::path& folder);

// The hexadecimal SHA-256 of a file's bytes as written in the manifest.
std::string HexOf(const TSha256& hash);

class PublishTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Makes a key pair in keys/ and a server folder srv/ with a few files, signed.
    void MakeSignedFolder();

    fs::path dir_, keys_, srv_;
    fs::path privateKey_, publicKey_;
};

}  // namespace publish_test
