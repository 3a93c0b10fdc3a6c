// aurevia-fileservice: serves one folder to the launcher's file service client.
//   GET .../folderlist?folder=F&mask=M&recursive=   the files under F as a JSON array of records
//   GET .../download?file=NAME                      the bytes of one file
// Any path prefix before the last segment is accepted, so the launcher's base URL may carry one.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "tools/fileservice/file_service.h"

namespace {

constexpr char kUsage[] =
    "Usage: aurevia-fileservice --folder DIR [--address ADDR] [--port N] [--port-file FILE]\n"
    "\n"
    "Serves the files under DIR to the Aurevia launcher (its Aurevia.ini \"url\" setting):\n"
    "  GET /folderlist?folder=\\&mask=*.*&recursive=   list files as JSON (names relative to DIR)\n"
    "  GET /download?file=Relatorio%5CRpt.rav         the bytes of one file\n"
    "Names that would leave DIR are refused.\n"
    "\n"
    "  --folder DIR      the folder to serve (required)\n"
    "  --address ADDR    address to listen on (default 127.0.0.1; 0.0.0.0 for every interface)\n"
    "  --port N          TCP port (default 8080; 0 picks a free one)\n"
    "  --port-file FILE  write the port listened on to FILE once the server is ready\n"
    "  --help            this text\n"
    "\n"
    "One line per request goes to standard output. SIGINT or SIGTERM stops the server.\n";

constexpr size_t kWorkerThreads = 64;

struct Options {
    std::string folder, address = "127.0.0.1", portFile;
    int port = 8080;
};

void SendRefusal(httplib::Response& res, const fileservice::Refusal& refusal) {
    res.status = refusal.status;
    res.set_content(fileservice::ErrorRecordJSON(refusal), "application/json; charset=utf-8");
}

void HandleList(const fileservice::FileService& service, const httplib::Request& req,
                httplib::Response& res) {
    try {
        const auto files = service.List(req.get_param_value("folder"), req.get_param_value("mask"),
                                        req.has_param("recursive"));
        res.set_content(fileservice::FileListJSON(files), "application/json; charset=utf-8");
    } catch (const fileservice::Refusal& refusal) {
        SendRefusal(res, refusal);
    }
}

void HandleDownload(const fileservice::FileService& service, const httplib::Request& req,
                    httplib::Response& res) {
    // The launcher sends "+" and "&" in a name unencoded: the name is the raw rest of the query.
    const auto raw = fileservice::RawQueryTail(req.target, "file");
    if (!raw) return SendRefusal(res, {400, "Bad Request", "No file parameter given."});
    try {
        const auto path = service.ResolveFile(fileservice::PercentDecode(*raw));
        auto stream = std::make_shared<std::ifstream>(path, std::ios::binary);
        if (!*stream) return SendRefusal(res, {403, "Forbidden", "The file cannot be read."});
        std::error_code ec;
        const auto size = std::filesystem::file_size(path, ec);
        if (ec) return SendRefusal(res, {403, "Forbidden", "The file cannot be read."});
        if (size == 0) {
            // A provider of no bytes would send neither a length nor a body end.
            res.set_content("", "application/octet-stream");
            return;
        }
        res.set_content_provider(static_cast<size_t>(size), "application/octet-stream",
                                 [stream](size_t offset, size_t length, httplib::DataSink& sink) {
                                     static thread_local std::string buffer(256 * 1024, '\0');
                                     stream->seekg(static_cast<std::streamoff>(offset));
                                     const size_t chunk = std::min(length, buffer.size());
                                     stream->read(buffer.data(), static_cast<std::streamsize>(chunk));
                                     const auto got = static_cast<size_t>(stream->gcount());
                                     if (got == 0) return false;  // shrank meanwhile: drop the connection
                                     return sink.write(buffer.data(), got);
                                 });
    } catch (const fileservice::Refusal& refusal) {
        SendRefusal(res, refusal);
    }
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--folder" && (v = value())) {
            options.folder = v;
        } else if (arg == "--address" && (v = value())) {
            options.address = v;
        } else if (arg == "--port-file" && (v = value())) {
            options.portFile = v;
        } else if (arg == "--port" && (v = value())) {
            char* end = nullptr;
            const long port = std::strtol(v, &end, 10);
            if (*end || port < 0 || port > 65535) {
                std::fprintf(stderr, "aurevia-fileservice: invalid port: %s\n", v);
                return false;
            }
            options.port = static_cast<int>(port);
        } else {
            std::fprintf(stderr, "aurevia-fileservice: unknown or incomplete argument: %s\n\n%s", arg.c_str(),
                         kUsage);
            return false;
        }
    }
    if (options.folder.empty()) {
        std::fprintf(stderr, "aurevia-fileservice: --folder is required\n\n%s", kUsage);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) return 2;
    std::error_code ec;
    if (!std::filesystem::is_directory(options.folder, ec)) {
        std::fprintf(stderr, "aurevia-fileservice: folder not found: %s\n", options.folder.c_str());
        return 1;
    }
    const fileservice::FileService service(options.folder);

    // Signals are taken by one waiting thread, which may then stop the server safely.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    httplib::Server server;
    // The library's default also sets SO_REUSEPORT, which lets a second service share a port that
    // is in use instead of failing: keep only SO_REUSEADDR.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    // One worker per connection being served: a whole installation's update fetches dozens of files
    // at once, and a worker waiting on an idle kept-alive connection must not hold the rest back.
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    server.set_keep_alive_timeout(1);
    server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
        std::printf("%s %s %s %d\n", req.remote_addr.c_str(), req.method.c_str(), req.target.c_str(),
                    res.status);
        std::fflush(stdout);
    });
    const httplib::Server::Handler list = [&](const auto& req, auto& res) { HandleList(service, req, res); };
    const httplib::Server::Handler download = [&](const auto& req, auto& res) {
        HandleDownload(service, req, res);
    };
    server.Get(R"(/(.*/)?folderlist)", list);
    server.Get(R"(/(.*/)?download)", download);

    int port = options.port;
    if (port == 0) {
        port = server.bind_to_any_port(options.address);
    } else if (!server.bind_to_port(options.address, port)) {
        port = -1;
    }
    if (port <= 0) {
        std::fprintf(stderr,
                     "aurevia-fileservice: cannot listen on %s:%d (address not available or port in use)\n",
                     options.address.c_str(), options.port);
        return 1;
    }
    if (!options.portFile.empty()) {
        const std::string temporary = options.portFile + ".tmp";
        std::ofstream(temporary) << port << "\n";
        std::filesystem::rename(temporary, options.portFile, ec);
    }
    std::printf("aurevia-fileservice: serving %s on http://%s:%d\n", service.Root().c_str(),
                options.address.c_str(), port);
    std::fflush(stdout);

    std::thread([&server, stopSignals] {
        int received = 0;
        sigwait(&stopSignals, &received);
        server.stop();
    }).detach();
    server.listen_after_bind();
    std::printf("aurevia-fileservice: stopped\n");
    return 0;
}
