#include "access.h"

#include <charconv>

namespace gateway {
namespace {

asio::ip::address unmapped(const asio::ip::address& peer) {
    if (peer.is_v6() && peer.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, peer.to_v6());
    return peer;
}

}  // namespace

std::optional<Network> Network::parse(std::string_view text) {
    const std::size_t slash = text.find('/');
    asio::error_code error;
    const asio::ip::address address =
        asio::ip::make_address(std::string(text.substr(0, slash)), error);
    if (error) return std::nullopt;

    Network network;
    network.v6 = address.is_v6();
    const unsigned width = network.v6 ? 128 : 32;
    network.prefix = width;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        const auto [end, status] =
            std::from_chars(digits.data(), digits.data() + digits.size(), network.prefix);
        if (digits.empty() || status != std::errc() || end != digits.data() + digits.size() ||
            network.prefix > width)
            return std::nullopt;
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
    const asio::ip::address plain = unmapped(peer);
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

bool AccessList::allows(const asio::ip::address& peer) const {
    if (networks_.empty()) return true;
    for (const Network& network : networks_)
        if (network.contains(peer)) return true;
    return false;
}

}  // namespace gateway
