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
#include <optional>
#include <utility>
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
    "       aurevia-publish sign --folder DIR --key KEY [--valid-days N] [--min-serial N] [--force]\n"
    "                            [--deployment NAME]\n"
    "       aurevia-publish verify --folder DIR --pub PUB\n"
    "       aurevia-publish publish --from DIR --to SERVER --key KEY [--note TEXT] [--force]\n"
    "                               [--patch-depth N] [--patch-ratio R] [--deployment NAME]\n"
    "       aurevia-publish rollout --to SERVER --key KEY --ring RING --release SERIAL [--percent P]\n"
    "                               [--valid-days N] [--flat] [--force] [--adopt] [--deployment NAME]\n"
    "       aurevia-publish rollout --to SERVER --key KEY --ring RING --stage SERIAL\n"
    "                               [--valid-days N] [--force] [--adopt] [--deployment NAME]\n"
    "       aurevia-publish status --to SERVER [--pub PUB] [--fleet URL]\n"
    "       aurevia-publish prune --to SERVER --keep N\n"
    "       aurevia-publish root draft --to SERVER --out DRAFT [--product NAME] [--add-root-key PUB]...\n"
    "                               [--remove-root-key KEYID]... [--threshold N] [--add-key PUB\n"
    "                               --roles manifest,rollout [--key-valid-days D]]... [--revoke KEYID]...\n"
    "                               [--valid-days N] [--new-epoch [--serial-floor N]] [--migrate-from PUB]\n"
    "       aurevia-publish root sign --draft DRAFT --key ROOTKEY\n"
    "       aurevia-publish root publish --draft DRAFT --to SERVER\n"
    "       aurevia-publish root status --to SERVER\n"
    "\n"
    "keygen   writes a new ECDSA P-256 key pair into the existing folder DIR:\n"
    "           publisher-key.pem  the private key (readable by its owner only; never replaced)\n"
    "           publisher-key.pub  the public key as one line, ecdsa-p256:<base64>, also printed:\n"
    "                              the value of [Seguranca] Chave Publica in Aurevia.ini\n"
    "sign     lists every file under DIR (name, size, SHA-256) in aurevia-manifest.json and signs it\n"
    "         into aurevia-manifest.sig. Both are written and checked in full first, then switched in\n"
    "         together (see \"Live generation\" below); nothing changes when signing fails.\n"
    "           --key KEY         the private key PEM made by keygen\n"
    "           --valid-days N    days until workstations refuse the manifest (default 30, at most 36500)\n"
    "           --min-serial N    the least serial to give; needed when the present manifest cannot be read\n"
    "         The serial is the largest of the present manifest's serial plus one (only when its\n"
    "         signature verifies with KEY), the current Unix time and --min-serial.\n"
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
    "publish  stores DIR's files in SERVER/aurevia-objects/ (each content once; an object already there\n"
    "         is read and replaced when damaged) and writes the signed release\n"
    "         SERVER/aurevia-releases/<serial>.json, one above the newest release whose signature\n"
    "         verifies with KEY; prints the serial (last line). No workstation takes it until a rollout\n"
    "         names it. A changed file gets binary patches (stored as objects) from each version of it\n"
    "         that a ring takes and from the last N releases (--patch-depth N, default 2, at most 16),\n"
    "         each kept when smaller than R times the deflated file (--patch-ratio R, default 0.5;\n"
    "         0 makes none). A workstation holding another version fetches the whole file.\n"
    "rollout  writes a new signed aurevia-rollout.json in which ring RING ([a-z0-9_-], 1-32; \"geral\"\n"
    "         serves every ring not named) takes release SERIAL on P % of its workstations (default 100)\n"
    "         and its previous release on the rest. The same release with a higher P widens the rollout;\n"
    "         an older release is a rollback. --valid-days N: days until workstations refuse the document\n"
    "         (default 30). --flat also lays the release's files, with their ages, into SERVER itself and\n"
    "         signs its flat manifest, for launchers that follow the flat folder. --adopt: after a\n"
    "         change of key, keeps the rings of a present document that does not verify with KEY.\n"
    "         --stage SERIAL instead of --release: the ring's workstations fetch release SERIAL ahead of\n"
    "         its switch and install nothing of it; the ring keeps the release it takes. A later\n"
    "         rollout --release SERIAL of the same ring switches to it and ends the stage.\n"
    "status   prints the rings (with their staged releases), the flat manifest, the releases with their "
    "sizes and the objects no\n"
    "         release refers to; with --pub PUB also checks every document's signature (status 6 when\n"
    "         one does not verify). --fleet URL (the fleet service, http://HOST:PORT): per ring that\n"
    "         stages a release, how many of its workstations reported holding it complete; the service\n"
    "         answers only its --painel-allow addresses; one not reached in 5 s is said so.\n"
    "prune    removes the releases beyond the last N that no ring refers to, then every object that no\n"
    "         remaining release refers to, and every patch that starts from a version no remaining\n"
    "         release holds.\n"
    "One command at a time per SERVER (a lock on SERVER/~aur-publish-lock.tmp); a failed command leaves\n"
    "the server as it was. Each command first removes what stopped commands left (~aur-publish-*).\n"
    "Live generation: the rollout document, the flat manifest (each with its signature) and the flat\n"
    "files laid by rollout --flat are links into SERVER/aurevia-releases/live/, and a command switches\n"
    "them all at once by replacing that one link; killed at any moment, readers see the old set or the\n"
    "new one. --force: sign, publish or roll out even with a clock behind the newest signing the\n"
    "server holds (otherwise refused: documents would expire early or be expired already).\n"
    "\n"
    "Trust root (SERVER/aurevia-root/<version>.json and .sig; see docs/operator/keys-and-rotation.md):\n"
    "root draft    writes the next root version, unsigned, into the new folder DRAFT: the version in\n"
    "              force with the changes asked (the first version needs --product and root keys).\n"
    "              --add-key certifies a signing key (PUB: its .pub file or text) for --roles from now\n"
    "              for --key-valid-days D (default 180); --revoke drops one; --valid-days N: the\n"
    "              root's expiry (default 365); --new-epoch: workstations reset their highest\n"
    "              accepted serials to --serial-floor N (default 0); --migrate-from PUB: the first\n"
    "              version is also signed by that publisher key, which workstations trust today.\n"
    "root sign     adds the signature of ROOTKEY (a root key of the draft or of the version before\n"
    "              it, or the --migrate-from key) to DRAFT; only DRAFT changes.\n"
    "root publish  writes DRAFT's version to SERVER once it is signed by a threshold of distinct root\n"
    "              keys of the version in force and of its own; prints the Raiz= line for Aurevia.ini.\n"
    "root status   prints every version: its Raiz= text, root keys and who signed, signing keys with\n"
    "              roles and windows, expiry and serial epoch.\n"
    "With a root on SERVER, sign, publish and rollout sign only with a key the newest version\n"
    "certifies for the role (sign and publish: manifest; rollout: rollout, and with --flat also\n"
    "manifest) at the present time, and name the key id, the root's product and the folder's\n"
    "deployment in what they sign. The deployment (kept in SERVER/aurevia-deployment) is set once:\n"
    "--deployment NAME (1-64 of A-Z a-z 0-9 . _ -), or else a made-up deployment-<12 hex> at the\n"
    "first signing under a root; another NAME later is a usage error. rollout refuses (status 1) a\n"
    "release published for another deployment.\n"
    "\n"
    "Exit status:\n"
    "  0  done; for verify: signature good, not expired, every file matches\n"
    "  1  reading the folder or writing failed, or the present manifest cannot be read (see --min-serial)\n"
    "  2  usage error\n"
    "  3  the folder does not exist\n"
    "  4  the key cannot be read (missing, unreadable, not a PEM private key, malformed key text)\n"
    "  5  the key is of another kind (not ECDSA P-256)\n"
    "  6  manifest or signature missing or unreadable, or the signature does not verify (also a\n"
    "     release or rollout document on the server that rollout reads with KEY's public half)\n"
    "  7  the manifest has expired\n"
    "  8  the folder's files differ from the manifest (when it has also expired: 7)\n"
    "  9  the release named is not kept on the server\n"
    " 10  the root in force does not certify the key for this role now, or the key may not sign this\n"
    "     root draft\n"
    " 11  the root draft breaks the chain rules (too few signatures, version not next, ...)\n";

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

// Takes the flags (options without a value) out of the arguments; each at most once.
std::vector<std::string_view> Flags(const std::vector<std::string_view>& arguments,
                                    const std::vector<std::pair<std::string_view, bool*>>& flags) {
    std::vector<std::string_view> rest;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const auto flag = std::find_if(flags.begin(), flags.end(),
                                       [&](const auto& known) { return known.first == arguments[i]; });
        // A flag's name in a value's place ("--note --force") is the value.
        if (flag == flags.end() || rest.size() % 2 == 1) {
            rest.push_back(arguments[i]);
            continue;
        }
        if (*flag->second) UsageError("Option " + std::string(flag->first) + " is given twice");
        *flag->second = true;
    }
    return rest;
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

double Ratio(const std::string& name, const std::string& text) {
    double value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !(value >= 0 && value <= 1))
        UsageError("Option " + name + " wants a number from 0 to 1, such as 0.5, not " + text);
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
        bool force = false;
        const auto options = OptionsOf(Flags(rest, {{"--force", &force}}),
                                       {"--folder", "--key", "--valid-days", "--min-serial", "--deployment"});
        publish::SignOptions sign;
        sign.folder = Required(options, "--folder");
        sign.key = Required(options, "--key");
        if (options.count("--deployment")) sign.deployment = Required(options, "--deployment");
        if (options.count("--valid-days"))
            sign.validDays =
                static_cast<int>(Number("--valid-days", options.at("--valid-days"), 1, kMostValidDays));
        if (options.count("--min-serial"))
            sign.minSerial = Number("--min-serial", options.at("--min-serial"), 0, UINT64_MAX);
        sign.force = force;
        publish::RunSign(sign);
        return ExitStatus::Ok;
    }
    if (command == "publish") {
        bool force = false;
        const auto options = OptionsOf(
            Flags(rest, {{"--force", &force}}),
            {"--from", "--to", "--key", "--note", "--patch-depth", "--patch-ratio", "--deployment"});
        publish::PublishOptions publishing;
        publishing.from = Required(options, "--from");
        publishing.server = Required(options, "--to");
        publishing.key = Required(options, "--key");
        if (options.count("--note")) publishing.note = options.at("--note");
        if (options.count("--deployment")) publishing.deployment = Required(options, "--deployment");
        if (options.count("--patch-depth"))
            publishing.patches.depth = static_cast<unsigned>(
                Number("--patch-depth", options.at("--patch-depth"), 0, publish::kMostPatchDepth));
        if (options.count("--patch-ratio"))
            publishing.patches.ratio = Ratio("--patch-ratio", options.at("--patch-ratio"));
        publishing.force = force;
        publish::RunPublish(publishing);
        return ExitStatus::Ok;
    }
    if (command == "rollout") {
        bool flat = false, force = false, adopt = false;
        const std::vector<std::string_view> pairs =
            Flags(rest, {{"--flat", &flat}, {"--force", &force}, {"--adopt", &adopt}});
        const auto options = OptionsOf(pairs, {"--to", "--key", "--ring", "--release", "--stage", "--percent",
                                               "--valid-days", "--deployment"});
        publish::RolloutOptions rollout;
        rollout.server = Required(options, "--to");
        rollout.key = Required(options, "--key");
        rollout.ring = Required(options, "--ring");
        if (options.count("--deployment")) rollout.deployment = Required(options, "--deployment");
        if (!IsValidRingName(rollout.ring))
            UsageError("Ring name " + rollout.ring + " is not 1 to 32 characters of a-z, 0-9, _ and -");
        if (options.count("--stage")) {
            if (options.count("--release")) UsageError("Options --release and --stage exclude each other");
            if (options.count("--percent") || flat)
                UsageError("A staged release is installed nowhere: --stage takes no --percent or --flat");
            rollout.stage = Number("--stage", Required(options, "--stage"), 1, UINT64_MAX);
        } else {
            rollout.release = Number("--release", Required(options, "--release"), 1, UINT64_MAX);
        }
        if (options.count("--percent"))
            rollout.percent = static_cast<unsigned>(Number("--percent", options.at("--percent"), 0, 100));
        if (options.count("--valid-days"))
            rollout.validDays =
                static_cast<int>(Number("--valid-days", options.at("--valid-days"), 1, kMostValidDays));
        rollout.flat = flat;
        rollout.force = force;
        rollout.adopt = adopt;
        publish::RunRollout(rollout);
        return ExitStatus::Ok;
    }
    if (command == "status") {
        const auto options = OptionsOf(rest, {"--to", "--pub", "--fleet"});
        std::optional<std::string> publicKey, fleetUrl;
        if (options.count("--pub")) publicKey = Required(options, "--pub");
        if (options.count("--fleet")) fleetUrl = Required(options, "--fleet");
        return publish::RunStatus(Required(options, "--to"), publicKey, fleetUrl);
    }
    if (command == "prune") {
        const auto options = OptionsOf(rest, {"--to", "--keep"});
        publish::RunPrune(Required(options, "--to"),
                          Number("--keep", Required(options, "--keep"), 0, UINT64_MAX));
        return ExitStatus::Ok;
    }
    if (command == "root") {
        publish::RunRoot(rest);
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
