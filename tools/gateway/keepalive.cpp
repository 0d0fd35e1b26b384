#include "keepalive.h"

#ifdef _WIN32
#include <winsock2.h>
#include <mstcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace tavlib::gateway {

void set_keepalive(asio::ip::tcp::socket& socket, std::uint32_t seconds) {
    asio::error_code ignored;
    socket.set_option(asio::socket_base::keep_alive(true), ignored);
    const std::uint32_t interval = seconds / 4 > 0 ? seconds / 4 : 1;
#ifdef _WIN32
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = static_cast<ULONG>(seconds) * 1000;
    values.keepaliveinterval = static_cast<ULONG>(interval) * 1000;
    DWORD returned = 0;
    WSAIoctl(socket.native_handle(), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0,
             &returned, nullptr, nullptr);
#else
    const int fd = socket.native_handle();
    const int idle = static_cast<int>(seconds);
    const int every = static_cast<int>(interval);
    const int probes = 4;
    const unsigned userTimeout = seconds * 2000u;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &every, sizeof every);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
#endif
}

}  // namespace tavlib::gateway
