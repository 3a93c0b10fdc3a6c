#pragma once
// A server folder with a key, release folders to publish, and the commands as the tests call them.
#include <fcntl.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "publish_tool.h"
#include "update/trust/release_documents.h"

namespace publish_test {

inline void SetAge(const fs::path& file, int64_t unixSeconds) {
    const struct timespec times[2] = {{unixSeconds, 0}, {unixSeconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

inline int64_t AgeOf(const fs::path& file) {
    struct stat info {};
    EXPECT_EQ(::stat(file.c_str(), &info), 0) << file;
    return info.st_mtim.tv_sec;
}

class ReleaseControlTest : public PublishTest {
  protected:
    void SetUp() override {
        PublishTest::SetUp();
        ASSERT_EQ(RunTool({"keygen", "--out", keys_.string()}).status, 0);
        key_ = privateKey_.string();
        server_ = srv_.string();
    }

    // A release folder: `changed` files of a shared set get content of their own.
    fs::path ReleaseFolder(const std::string& name, const std::map<std::string, std::string>& changed = {}) {
        const fs::path folder = dir_ / name;
        std::map<std::string, std::string> files = {{"Aurevia.EXE", "launcher"},
                                                    {"gds32.dll", "client"},
                                                    {"Relatorio/Rpt.rav", "report"},
                                                    {"Admissao.exe", "admissao 1"}};
        for (const auto& [file, content] : changed) files[file] = content;
        for (const auto& [file, content] : files) {
            WriteBytes(folder / file, content);
            SetAge(folder / file, 1'700'000'000 + static_cast<int64_t>(content.size()));
        }
        return folder;
    }

    ToolResult Publish(const fs::path& from, const std::string& note = {}) {
        std::vector<std::string> arguments = {"publish", "--from", from.string(), "--to",
                                              server_,   "--key",  key_};
        if (!note.empty()) arguments.insert(arguments.end(), {"--note", note});
        return RunTool(arguments);
    }

    ToolResult Rollout(const std::string& ring, const std::string& release,
                       std::vector<std::string> more = {}) {
        std::vector<std::string> arguments = {"rollout", "--to", server_,     "--key", key_,
                                              "--ring",  ring,   "--release", release};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return RunTool(arguments);
    }

    TRollout ReadRolloutDocument() { return DecodeRollout(ReadBytes(srv_ / kRolloutFileName)); }
    TRelease ReadReleaseDocument(uint64_t serial) {
        return DecodeRelease(ReadBytes(srv_ / "aurevia-releases" / (std::to_string(serial) + ".json")));
    }

    size_t ObjectCount() {
        size_t count = 0;
        for (const auto& entry : fs::recursive_directory_iterator(srv_ / "aurevia-objects"))
            count += entry.is_regular_file();
        return count;
    }

    std::string key_, server_;
};

}  // namespace publish_test
