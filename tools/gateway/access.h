// Which peers a port serves: --allow CIDR entries.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio/ip/address.hpp>

namespace tavlib::gateway {

// An IPv4 address that reached an IPv6 socket (::ffff:a.b.c.d) as the IPv4
// address it is; any other as it is.  The form the log shows and the rules
// match.
asio::ip::address plain_address(const asio::ip::address& address);

// An address range: ADDR/LEN (IPv4 or IPv6), or a single ADDR.  An
// IPv4-mapped range (::ffff:a.b.c.d/LEN, LEN 96 or more) is the IPv4 range
// it maps.
struct Network {
    bool v6 = false;
    std::array<unsigned char, 16> bytes{};  // IPv4: the first 4
    unsigned prefix = 0;

    // Nothing when the text is no address range.
    static std::optional<Network> parse(std::string_view text);
    bool contains(const asio::ip::address& peer) const;
    std::string text() const;  // ADDR/LEN, in the plain form
};

// An empty list allows every peer; otherwise a peer must be in one range.
// An IPv4 peer that reaches an IPv6 socket (::ffff:a.b.c.d) counts as IPv4.

class AccessList {
public:
    explicit AccessList(std::vector<Network> networks) : networks_(std::move(networks)) {}
    bool allows(const asio::ip::address& peer) const;

private:
    std::vector<Network> networks_;
};

}  // namespace tavlib::gateway
