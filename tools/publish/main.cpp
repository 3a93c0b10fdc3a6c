// aurevia-publish: the publisher's signing tool. Makes the key pair, signs a server folder (writes
// its release manifest and signature beside the files) and checks a folder against its manifest;
// keeps signed releases side by side on a server and rolls them out ring by ring.
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
#include "update/trust/release_documents.h"

namespace {

using publish::ExitStatus;
using publish::PublishError;

constexpr char kUsage[] =
    "Usage: aurevia-publish keygen --out DIR\n"
    "       aurevia-publish sign --folder DIR --key KEY [--valid-days N] [--min-serial N]\n"
    "       aurevia-publish verify --folder DIR --pub PUB\n"
    "       aurevia-publish publish --from DIR --to SERVER --key KEY [--note TEXT]\n"
    "       aurevia-publish rollout --to SERVER --key KEY --ring RING --release SERIAL [--percent P]\n"
    "                               [--valid-days N] [--flat]\n"
    "       aurevia-publish status --to SERVER\n"
    "       aurevia-publish prune --to SERVER --keep N\n"
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
    "         A private key (the key file itself, a link or a copy of it, any PEM private key) in the\n"
    "         folder stops sign, publish and rollout --flat.\n"
    "\n"
    "Release control (beside the flat folder: aurevia-objects/, aurevia-releases/, aurevia-rollout.*):\n"
    "publish  stores DIR's files in SERVER/aurevia-objects/ (each content once, only what is not there)\n"
    "         and writes the signed release SERVER/aurevia-releases/<serial>.json; prints the serial\n"
    "         (last line). No workstation takes it until a rollout names it.\n"
    "rollout  writes a new signed aurevia-rollout.json in which ring RING ([a-z0-9_-], 1-32; \"geral\"\n"
    "         serves every ring not named) takes release SERIAL on P % of its workstations (default 100)\n"
    "         and its previous release on the rest. The same release with a higher P widens the rollout;\n"
    "         an older release is a rollback. --valid-days N: days until workstations refuse the document\n"
    "         (default 30). --flat also lays the release's files, with their ages, into SERVER itself and\n"
    "         signs its flat manifest, for launchers that follow the flat folder.\n"
    "status   prints the rings, the releases with their sizes and the objects no release refers to.\n"
    "prune    removes the releases beyond the last N that no ring refers to, then every object that no\n"
    "         remaining release refers to.\n"
    "One command at a time per SERVER (a lock on SERVER/~aur-publish-lock.tmp); a failed command leaves\n"
    "the server as it was.\n"
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
    "  8  the folder's files differ from the manifest (when it has also expired: 7)\n"
    "  9  the release named is not kept on the server\n";

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
    if (command == "publish") {
        const auto options = OptionsOf(rest, {"--from", "--to", "--key", "--note"});
        publish::PublishOptions publishing;
        publishing.from = Required(options, "--from");
        publishing.server = Required(options, "--to");
        publishing.key = Required(options, "--key");
        if (options.count("--note")) publishing.note = options.at("--note");
        publish::RunPublish(publishing);
        return ExitStatus::Ok;
    }
    if (command == "rollout") {
        std::vector<std::string_view> pairs;
        bool flat = false;
        for (const auto argument : rest) {
            if (argument == "--flat") {
                if (flat) UsageError("Option --flat is given twice");
                flat = true;
            } else {
                pairs.push_back(argument);
            }
        }
        const auto options =
            OptionsOf(pairs, {"--to", "--key", "--ring", "--release", "--percent", "--valid-days"});
        publish::RolloutOptions rollout;
        rollout.server = Required(options, "--to");
        rollout.key = Required(options, "--key");
        rollout.ring = Required(options, "--ring");
        if (!IsValidRingName(rollout.ring))
            UsageError("Ring name " + rollout.ring + " is not 1 to 32 characters of a-z, 0-9, _ and -");
        rollout.release = Number("--release", Required(options, "--release"), 1, UINT64_MAX);
        if (options.count("--percent"))
            rollout.percent = static_cast<unsigned>(Number("--percent", options.at("--percent"), 0, 100));
        if (options.count("--valid-days"))
            rollout.validDays =
                static_cast<int>(Number("--valid-days", options.at("--valid-days"), 1, kMostValidDays));
        rollout.flat = flat;
        publish::RunRollout(rollout);
        return ExitStatus::Ok;
    }
    if (command == "status") {
        const auto options = OptionsOf(rest, {"--to"});
        publish::RunStatus(Required(options, "--to"));
        return ExitStatus::Ok;
    }
    if (command == "prune") {
        const auto options = OptionsOf(rest, {"--to", "--keep"});
        publish::RunPrune(Required(options, "--to"),
                          Number("--keep", Required(options, "--keep"), 0, UINT64_MAX));
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
