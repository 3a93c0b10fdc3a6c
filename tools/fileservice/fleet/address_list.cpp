#include "tools/fileservice/fleet/address_list.h"

#include <arpa/inet.h>

#include <cstring>
#include <stdexcept>

namespace fleet {

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool InNetwork(const AddressBytes& address, const AddressBytes& network, unsigned bits) {
    for (unsigned i = 0; i < 16 && bits > 0; ++i) {
        const unsigned take = bits >= 8 ? 8 : bits;
        const auto mask = static_cast<uint8_t>(0xff << (8 - take));
        if ((address[i] & mask) != (network[i] & mask)) return false;
        bits -= take;
    }
    return true;
}

}  // namespace

std::optional<AddressBytes> ParseAddress(std::string_view text) {
    text = Trim(text);
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    if (text.empty() || text.size() > 63) return std::nullopt;
    const std::string copy(text);
    AddressBytes out{};
    in_addr v4{};
    if (inet_pton(AF_INET, copy.c_str(), &v4) == 1) {
        out[10] = out[11] = 0xff;
        std::memcpy(out.data() + 12, &v4, 4);
        return out;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, copy.c_str(), &v6) == 1) {
        std::memcpy(out.data(), &v6, 16);
        return out;
    }
    return std::nullopt;
}

AddressList AddressList::Parse(std::string_view text) {
    AddressList list;
    list.text_ = std::string(Trim(text));
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view entry = Trim(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (entry.empty()) continue;
        const size_t slash = entry.find('/');
        const auto address = ParseAddress(entry.substr(0, slash));
        if (!address) throw std::invalid_argument("not an address: " + std::string(entry));
        const bool v4 = entry.substr(0, slash).find(':') == std::string_view::npos;
        Network network{*address, 128};
        if (slash != std::string_view::npos) {
            const std::string bits(entry.substr(slash + 1));
            char* end = nullptr;
            const long n = std::strtol(bits.c_str(), &end, 10);
            if (bits.empty() || *end || n < 0 || n > (v4 ? 32 : 128))
                throw std::invalid_argument("not a network: " + std::string(entry));
            network.bits = static_cast<unsigned>(n) + (v4 ? 96 : 0);
        }
        list.networks_.push_back(network);
    }
    return list;
}

bool AddressList::Contains(std::string_view address) const {
    const auto bytes = ParseAddress(address);
    if (!bytes) return false;
    for (const Network& network : networks_)
        if (InNetwork(*bytes, network.address, network.bits)) return true;
    return false;
}

std::string ClientAddress(std::string_view peer, std::string_view forwardedFor,
                          const AddressList& trustedProxies) {
    if (forwardedFor.empty() || !trustedProxies.Contains(peer)) return std::string(peer);
    const size_t comma = forwardedFor.rfind(',');
    const std::string_view last =
        Trim(comma == std::string_view::npos ? forwardedFor : forwardedFor.substr(comma + 1));
    // Anything but an address there is the proxy's fault, not the client's name: the peer stands.
    if (!ParseAddress(last)) return std::string(peer);
    std::string text(last);
    if (text.starts_with("::ffff:")) text.erase(0, 7);
    return text;
}

}  // namespace fleet
