#include "tcp_listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace tavlib::sim {

namespace {

std::string endpoint_name(const sockaddr_storage& addr) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (addr.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
        ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(in.sin_port));
    }
    if (addr.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr);
        ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(in6.sin6_port));
    }
    return "?";
}

std::uint16_t port_of(const sockaddr_storage& addr) {
    if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
    if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
    return 0;
}

struct AddrInfoFree {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

}  // namespace

TcpListener listen_tcp(const std::string& bindAddress, std::uint16_t port) {
    const std::string wanted = bindAddress + " port " + std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(bindAddress.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) throw std::runtime_error("TCP address " + bindAddress + ": " + ::gai_strerror(rc));
    const std::unique_ptr<addrinfo, AddrInfoFree> list(found);

    std::string failure = "no usable address";
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        UniqueFd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol));
        if (!fd) {
            failure = std::string("socket: ") + std::strerror(errno);
            continue;
        }
        // A simulator started again at once gets its port back even while
        // connections of the last run linger in TIME_WAIT.
        const int one = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd.get(), 64) != 0) {
            failure = std::strerror(errno);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            failure = std::string("getsockname: ") + std::strerror(errno);
            continue;
        }
        return TcpListener{std::move(fd), endpoint_name(bound), port_of(bound)};
    }
    throw std::runtime_error("cannot listen on TCP " + wanted + ": " + failure);
}

std::string tcp_peer_name(int fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return "?";
    return endpoint_name(peer);
}

sockaddr_un unix_address(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        throw std::runtime_error("socket path too long (" + std::to_string(path.size()) + " bytes, at most " +
                                 std::to_string(sizeof addr.sun_path - 1) + "): " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

}  // namespace tavlib::sim
