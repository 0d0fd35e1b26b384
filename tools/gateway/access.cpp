#include "access.h"

#include <charconv>

namespace tavlib::gateway {

asio::ip::address plain_address(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address;
}

std::optional<Network> Network::parse(std::string_view text) {
    const std::size_t slash = text.find('/');
    asio::error_code error;
    const asio::ip::address written =
        asio::ip::make_address(std::string(text.substr(0, slash)), error);
    if (error) return std::nullopt;
    const asio::ip::address address = plain_address(written);
    const bool mapped = address != written;

    Network network;
    network.v6 = address.is_v6();
    // The length as written: of the IPv6 form for a mapped address.
    const unsigned width = written.is_v6() ? 128 : 32;
    network.prefix = width;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        const auto [end, status] =
            std::from_chars(digits.data(), digits.data() + digits.size(), network.prefix);
        if (digits.empty() || status != std::errc() || end != digits.data() + digits.size() ||
            network.prefix > width)
            return std::nullopt;
    }
    if (mapped) {
        // Only the last 32 bits carry the IPv4 address.
        if (network.prefix < 96) return std::nullopt;
        network.prefix -= 96;
    }
    if (network.v6) {
        network.bytes = address.to_v6().to_bytes();
    } else {
        const auto v4 = address.to_v4().to_bytes();
        std::copy(v4.begin(), v4.end(), network.bytes.begin());
    }
    return network;
}

bool Network::contains(const asio::ip::address& peer) const {
    const asio::ip::address plain = plain_address(peer);
    if (plain.is_v6() != v6) return false;
    std::array<unsigned char, 16> peerBytes{};
    if (v6) {
        peerBytes = plain.to_v6().to_bytes();
    } else {
        const auto v4 = plain.to_v4().to_bytes();
        std::copy(v4.begin(), v4.end(), peerBytes.begin());
    }
    for (unsigned bit = 0; bit < prefix; bit += 8) {
        const unsigned bits = prefix - bit < 8 ? prefix - bit : 8;
        const unsigned mask = (0xFFu << (8 - bits)) & 0xFFu;
        if (((peerBytes[bit / 8] ^ bytes[bit / 8]) & mask) != 0) return false;
    }
    return true;
}

std::string Network::text() const {
    asio::ip::address address;
    if (v6) {
        address = asio::ip::make_address_v6(bytes);
    } else {
        address = asio::ip::make_address_v4(
            asio::ip::address_v4::bytes_type{bytes[0], bytes[1], bytes[2], bytes[3]});
    }
    return address.to_string() + "/" + std::to_string(prefix);
}

bool AccessList::allows(const asio::ip::address& peer) const {
    if (networks_.empty()) return true;
    for (const Network& network : networks_)
        if (network.contains(peer)) return true;
    return false;
}

}  // namespace tavlib::gateway
