#include "publish_tool.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace publish_test {

namespace {

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

const char* ToolProgram() {
    const char* chosen = std::getenv("AUREVIA_PUBLISH_PROGRAM");
    return chosen && *chosen ? chosen : AUREVIA_PUBLISH;
}

ToolResult RunTool(const std::vector<std::string>& arguments, const std::string& prefix,
                   const char* program) {
    if (program == nullptr) program = ToolProgram();
    std::string command = prefix + " " + Quoted(program);
    for (const auto& argument : arguments) command += " " + Quoted(argument);
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    ToolResult result;
    if (pipe == nullptr) return result;
    char buffer[512];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteBytes(const fs::path& file, std::string_view bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TReleaseManifest ReadManifest(const fs::path& folder) {
    return DecodeReleaseManifest(ReadBytes(folder / kManifestFileName));
}

std::map<std::string, std::string> TreeState(const fs::path& folder) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.path().filename() == "~aur-publish-lock.tmp") continue;
        const std::string name = entry.path().lexically_relative(folder).string();
        struct stat info {};
        ::lstat(entry.path().c_str(), &info);
        if (S_ISLNK(info.st_mode)) {
            entries[name] = "-> " + fs::read_symlink(entry.path()).string();
        } else if (S_ISDIR(info.st_mode)) {
            entries[name] = "(folder)";
        } else {
            entries[name] = ReadBytes(entry.path()) + "@" + std::to_string(info.st_mtim.tv_sec) + "." +
                            std::to_string(info.st_mtim.tv_nsec);
        }
    }
    return entries;
}

std::string HexOf(const TSha256& hash) {
    std::string hex;
    char digits[3];
    for (const uint8_t byte : hash) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        hex += digits;
    }
    return hex;
}

void PublishTest::SetUp() {
    char pattern[] = "/tmp/aurevia-publish-XXXXXX";
    dir_ = mkdtemp(pattern);
    keys_ = dir_ / "keys";
    srv_ = dir_ / "srv";
    fs::create_directories(keys_);
    fs::create_directories(srv_);
    privateKey_ = keys_ / "publisher-key.pem";
    publicKey_ = keys_ / "publisher-key.pub";
}

void PublishTest::TearDown() {
    std::error_code ignored;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(dir_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add | fs::perm_options::nofollow,
                        ignored);
    fs::remove_all(dir_);
}

void PublishTest::MakeSignedFolder() {
    ASSERT_EQ(RunTool({"keygen", "--out", keys_.string()}).status, 0);
    WriteBytes(srv_ / "Aurevia.EXE", "abc");
    WriteBytes(srv_ / "Relatorio" / "Rpt.rav", "report");
    WriteBytes(srv_ / "Modulos" / "Vazio.dll", "");
    const ToolResult signing = RunTool({"sign", "--folder", srv_.string(), "--key", privateKey_.string()});
    ASSERT_EQ(signing.status, 0) << signing.output;
}

}  // namespace publish_test
