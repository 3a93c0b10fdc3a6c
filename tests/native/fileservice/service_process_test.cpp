// The service as a program: its command line, its request log and its stop on SIGTERM.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

class ServiceProcess : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/fileservice-process-XXXXXX";
        dir_ = mkdtemp(pattern);
        fs::create_directories(dir_ / "served");
        std::ofstream(dir_ / "served" / "a.txt") << "abc";
        std::ofstream(dir_ / "served" / "empty.txt");
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        fs::remove_all(dir_);
    }

    // Starts the service on a free port with its output in a log file; returns the port.
    int Start() {
        const std::string folder = (dir_ / "served").string(), portFile = (dir_ / "port").string(),
                          log = (dir_ / "log").string();
        pid_ = fork();
        if (pid_ == 0) {
            freopen(log.c_str(), "w", stdout);
            execl(AUREVIA_FILESERVICE, AUREVIA_FILESERVICE, "--folder", folder.c_str(), "--port", "0",
                  "--port-file", portFile.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 500 && !fs::exists(portFile); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        int port = 0;
        std::ifstream(portFile) >> port;
        return port;
    }

    static int ExitCodeOf(const std::string& arguments, std::string* output = nullptr) {
        FILE* pipe = popen((std::string(AUREVIA_FILESERVICE) + " " + arguments + " 2>&1").c_str(), "r");
        std::string text;
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe)) text += buffer;
        const int status = pclose(pipe);
        if (output) *output = text;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string Log() const {
        std::ifstream in(dir_ / "log");
        return {std::istreambuf_iterator<char>(in), {}};
    }

    fs::path dir_;
    pid_t pid_ = -1;
};

TEST_F(ServiceProcess, ServesLogsEachRequestAndStopsCleanlyOnSigterm) {
    const int port = Start();
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    auto answer = client.Get("/download?file=a.txt");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(answer->body, "abc");
    // An empty file still says where its body ends, or a kept-alive client waits for more.
    answer = client.Get("/download?file=empty.txt");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->get_header_value("Content-Length"), "0");
    answer = client.Get("/download?file=..%5Cport");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 403);

    kill(pid_, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid_, &status, 0), pid_);
    pid_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string log = Log();
    EXPECT_NE(log.find("\"GET /download?file=a.txt HTTP/1.1\" 200 3 "), std::string::npos) << log;
    EXPECT_NE(log.find("\"GET /download?file=..%5Cport HTTP/1.1\" 403 "), std::string::npos) << log;
}

TEST_F(ServiceProcess, RefusesToStartWithoutItsFolderOrPort) {
    std::string output;
    EXPECT_EQ(ExitCodeOf("--folder " + (dir_ / "missing").string(), &output), 1);
    EXPECT_NE(output.find("folder not found"), std::string::npos) << output;

    const int port = Start();
    ASSERT_GT(port, 0);
    EXPECT_EQ(
        ExitCodeOf("--folder " + (dir_ / "served").string() + " --port " + std::to_string(port), &output), 1);
    EXPECT_NE(output.find("port in use"), std::string::npos) << output;

    EXPECT_EQ(ExitCodeOf("", &output), 2);
    EXPECT_EQ(ExitCodeOf("--help", &output), 0);
    EXPECT_NE(output.find("--folder DIR"), std::string::npos);
}

}  // namespace
