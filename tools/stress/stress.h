// The runs of tavlib-stress.  Each prints its figures and answers the
// number of violations it saw (0: the run passed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavlib::stress {

struct ClaimsOptions {
    int processes = 8;
    std::uint64_t opens = 10000;
};
std::uint64_t run_claims(const ClaimsOptions& options);

struct ThreadsOptions {
    int threads = 8;
    int handles = 4;
    std::uint64_t transactions = 100000;
    long memorySlackKib = 4096;
};
std::uint64_t run_threads(const ThreadsOptions& options);

struct SoakOptions {
    double seconds = 60;
    std::uint64_t seed = 0;  // 0: from the clock
    double faultShare = 0.35;
    long memorySlackKib = 4096;
};
std::uint64_t run_soak(const SoakOptions& options);

struct GatewayOptions {
    double seconds = 60;
    std::uint64_t seed = 0;  // 0: from the clock
    int ports = 2;
    int clients = 3;  // per port
    int vxiClients = 2;  // VXI-11 clients per port; 0: raw-socket clients only
    std::size_t maxData = 4 * 1024 * 1024;  // the largest DATA? answer
    long memorySlackKib = -1;               // the gateway's RSS growth tolerated; -1: from the sizes
    std::string gatewayLog;                  // a file for the gateway's log; empty: none
    std::uint64_t violationsShown = 20;      // violations printed; the rest are counted
};
std::uint64_t run_gateway(const GatewayOptions& options);

}  // namespace tavlib::stress
