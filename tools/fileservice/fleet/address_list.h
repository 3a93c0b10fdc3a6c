#pragma once
// A list of client addresses and networks ("127.0.0.1", "10.0.0.0/8", "::1", "fd00::/8"), as
// --painel-allow and --trusted-proxy take them: comma-separated, IPv4 and IPv6, CIDR prefixes.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

// An address as 16 bytes (IPv4 mapped into IPv6, ::ffff:a.b.c.d), so one rule covers both.
using AddressBytes = std::array<uint8_t, 16>;
std::optional<AddressBytes> ParseAddress(std::string_view text);

class AddressList {
  public:
    // Throws std::invalid_argument naming the entry that is not an address or network.
    static AddressList Parse(std::string_view text);
    bool Contains(std::string_view address) const;
    bool Empty() const { return networks_.empty(); }
    const std::string& Text() const { return text_; }

  private:
    struct Network {
        AddressBytes address{};
        unsigned bits = 128;
    };
    std::vector<Network> networks_;
    std::string text_;
};

// The address a request came from: the connection's peer, or, when the peer is one of
// `trustedProxies`, the last address of its X-Forwarded-For (the one that proxy appended).
std::string ClientAddress(std::string_view peer, std::string_view forwardedFor,
                          const AddressList& trustedProxies);

}  // namespace fleet
