// aurevia-publish: the publisher's signing tool. Makes the key pair, signs a server folder (writes
// its release manifest and signature beside the files) and checks a folder against its manifest.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tools/publish/commands.h"

namespace {

using publish::ExitStatus;
using publish::PublishError;

constexpr char kUsage[] =
    "Usage: aurevia-publish keygen --out DIR\n"
    "       aurevia-publish sign --folder DIR --key KEY [--valid-days N] [--min-serial N]\n"
    "       aurevia-publish verify --folder DIR --pub PUB\n"
    "\n"
    "keygen   writes a new ECDSA P-256 key pair into the existing folder DIR:\n"
    "           publisher-key.pem  the private key (readable by its owner only; never replaced)\n"
    "           publisher-key.pub  the public key as one line, ecdsa-p256:<base64>, also printed:\n"
    "                              the value of [Seguranca] Chave Publica in Aurevia.ini\n"
    "sign     lists every file under DIR (name, size, SHA-256) in aurevia-manifest.json and signs it\n"
    "         into aurevia-manifest.sig. Both are written and checked in full first, then put in place\n"
    "         (the signature, then the manifest); nothing changes when signing fails.\n"
    "           --key KEY         the private key PEM made by keygen\n"
    "           --valid-days N    days until workstations refuse the manifest (default 30, at most 36500)\n"
    "           --min-serial N    the least serial to give; needed when the present manifest cannot be read\n"
    "         The serial is the largest of the present manifest's serial plus one, the current Unix\n"
    "         time and --min-serial, so it grows with every signing even when the clock went back.\n"
    "         Links to files inside DIR are listed; links leading out of DIR or to folders, and what\n"
    "         is not a regular file, are skipped with a warning, and so are ~aur*.tmp temporaries.\n"
    "         A file or folder that cannot be read, or a name a Windows workstation cannot take,\n"
    "         stops the signing.\n"
    "verify   checks the signature with PUB (the .pub file or its text), the expiry and every file,\n"
    "         printing each file that is missing, not listed, or differs in size or content.\n"
    "\n"
    "Exit status:\n"
    "  0  done; for verify: signature good, not expired, every file matches\n"
    "  1  reading the folder or writing failed, or the present manifest cannot be read (see --min-serial)\n"
    "  2  usage error\n"
    "  3  the folder does not exist\n"
    "  4  the key cannot be read (missing, unreadable, not a PEM private key, malformed key text)\n"
    "  5  the key is of another kind (not ECDSA P-256)\n"
    "  6  manifest or signature missing or unreadable, or the signature does not verify\n"
    "  7  the manifest has expired\n"
    "  8  the folder's files differ from the manifest (when it has also expired: 7)\n";

constexpr int kMostValidDays = 36'500;  // keeps the expiry far inside the manifest's four-digit years

[[noreturn]] void UsageError(const std::string& message) {
    throw PublishError(ExitStatus::Usage, message + " (aurevia-publish --help for usage)");
}

// "--name VALUE" pairs after the command; each name at most once and one of `allowed`.
std::map<std::string, std::string> OptionsOf(const std::vector<std::string_view>& arguments,
                                             const std::vector<std::string_view>& allowed) {
    std::map<std::string, std::string> options;
    for (size_t i = 0; i < arguments.size(); i += 2) {
        const std::string name(arguments[i]);
        if (std::find(allowed.begin(), allowed.end(), name) == allowed.end())
            UsageError("Unknown option " + name);
        if (i + 1 >= arguments.size()) UsageError("Option " + name + " needs a value");
        if (!options.emplace(name, arguments[i + 1]).second) UsageError("Option " + name + " is given twice");
    }
    return options;
}

std::string Required(const std::map<std::string, std::string>& options, const std::string& name) {
    const auto found = options.find(name);
    if (found == options.end() || found->second.empty()) UsageError("Option " + name + " is required");
    return found->second;
}

uint64_t Number(const std::string& name, const std::string& text, uint64_t least, uint64_t most) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < least ||
        value > most)
        UsageError("Option " + name + " wants a whole number from " + std::to_string(least) + " to " +
                   std::to_string(most) + ", not " + text);
    return value;
}

ExitStatus Run(const std::vector<std::string_view>& arguments) {
    if (arguments.empty()) UsageError("No command");
    const std::string_view command = arguments.front();
    const std::vector<std::string_view> rest(arguments.begin() + 1, arguments.end());
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return ExitStatus::Ok;
    }
    if (command == "keygen") {
        const auto options = OptionsOf(rest, {"--out"});
        publish::RunKeygen(Required(options, "--out"));
        return ExitStatus::Ok;
    }
    if (command == "sign") {
        const auto options = OptionsOf(rest, {"--folder", "--key", "--valid-days", "--min-serial"});
        publish::SignOptions sign;
        sign.folder = Required(options, "--folder");
        sign.key = Required(options, "--key");
        if (options.count("--valid-days"))
            sign.validDays =
                static_cast<int>(Number("--valid-days", options.at("--valid-days"), 1, kMostValidDays));
        if (options.count("--min-serial"))
            sign.minSerial = Number("--min-serial", options.at("--min-serial"), 0, UINT64_MAX);
        publish::RunSign(sign);
        return ExitStatus::Ok;
    }
    if (command == "verify") {
        const auto options = OptionsOf(rest, {"--folder", "--pub"});
        return publish::RunVerify(Required(options, "--folder"), Required(options, "--pub"));
    }
    UsageError("Unknown command " + std::string(command));
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return static_cast<int>(Run(std::vector<std::string_view>(argv + 1, argv + argc)));
    } catch (const PublishError& e) {
        std::fprintf(stderr, "aurevia-publish: %s\n", e.what());
        return static_cast<int>(e.Status);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "aurevia-publish: %s\n", e.what());
        return static_cast<int>(ExitStatus::Failed);
    }
}
