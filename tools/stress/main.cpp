// tavlib-stress: beats on the library against the simulator and prints what
// it saw.
//   tavlib-stress claims  [--processes P] [--opens N]
//   tavlib-stress threads [--threads T] [--handles H] [--transactions N]
//   tavlib-stress soak    [--seconds S] [--seed N] [--fault-share F]
//   tavlib-stress gateway [--seconds S] [--seed N] [--ports P] [--clients C] [--vxi11-clients V]
// Exit code 0 when no violation was seen, 1 otherwise, 2 on a bad command
// line or a failed set-up.
//
// The library binds to its runtime directory when it loads, so the program
// first runs itself again as a child with a fresh private directory, and
// removes the directory when the child ends (through TAVLIB_TEST_EMULATOR,
// when that names the user-mode emulator the program runs under).
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "stress.h"

namespace {

constexpr const char* kPrivateMark = "TAVLIB_STRESS_PRIVATE";

int run_in_private_directory(char** argv) {
    std::error_code error;
    std::string program = std::filesystem::read_symlink("/proc/self/exe", error).string();
    if (error) {
        std::fprintf(stderr, "tavlib-stress: cannot find its own program: %s\n", error.message().c_str());
        return 2;
    }
    // Under a user-mode emulator (a 32-bit build on a kernel that does not
    // run 32-bit programs) the child goes through the same emulator.
    std::vector<char*> args;
    std::string emulator;
    if (const char* named = std::getenv("TAVLIB_TEST_EMULATOR"); named != nullptr && *named != '\0') {
        emulator = named;
        args.push_back(emulator.data());
    }
    args.push_back(program.data());
    for (char** arg = argv + 1; *arg != nullptr; ++arg) args.push_back(*arg);
    args.push_back(nullptr);

    char pattern[] = "/tmp/tavlib-stress-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    ::setenv("TAVRIL_RUNTIME_DIR", pattern, 1);
    ::setenv(kPrivateMark, "1", 1);
    const pid_t child = ::fork();
    if (child == 0) {
        ::execv(args[0], args.data());
        std::perror("execv");
        ::_exit(127);
    }
    int status = 0;
    while (child > 0 && ::waitpid(child, &status, 0) < 0) {
    }
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
    if (child < 0) return 2;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    std::fprintf(stderr, "tavlib-stress: ended by signal %d\n", WTERMSIG(status));
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tavlib::stress;
    CLI::App app{"tavlib-stress: claims, threads, a fault soak and the gateway against the simulator"};
    app.require_subcommand(1);

    ClaimsOptions claims;
    CLI::App* claimsCommand =
        app.add_subcommand("claims", "P processes open and close slot 0; counts overlapping claims");
    claimsCommand->add_option("-p,--processes", claims.processes, "processes")
        ->check(CLI::Range(1, 64));
    claimsCommand->add_option("-n,--opens", claims.opens, "successful opens in all")
        ->check(CLI::Range(1, 100000000));

    ThreadsOptions threads;
    CLI::App* threadsCommand = app.add_subcommand(
        "threads", "threads on shared handles; counts lost, duplicated and crossed responses");
    threadsCommand->add_option("-t,--threads", threads.threads, "threads")->check(CLI::Range(1, 64));
    threadsCommand->add_option("--handles", threads.handles, "handles (devices)")
        ->check(CLI::Range(1, 4));
    threadsCommand->add_option("-n,--transactions", threads.transactions, "transactions in all")
        ->check(CLI::Range(1, 1000000000));
    threadsCommand->add_option("--memory-slack-kib", threads.memorySlackKib,
                               "memory growth tolerated (RSS; heap in use under a sanitizer)");

    SoakOptions soak;
    CLI::App* soakCommand =
        app.add_subcommand("soak", "random calls of every function under random faults");
    soakCommand->add_option("-s,--seconds", soak.seconds, "duration")->check(CLI::Range(1.0, 1e6));
    soakCommand->add_option("--seed", soak.seed, "random seed (0: from the clock)");
    soakCommand->add_option("--fault-share", soak.faultShare, "share of calls given a fault")
        ->check(CLI::Range(0.0, 1.0));
    soakCommand->add_option("--memory-slack-kib", soak.memorySlackKib,
                            "memory growth tolerated (RSS; heap in use under a sanitizer)");

    GatewayOptions gateway;
    CLI::App* gatewayCommand = app.add_subcommand(
        "gateway", "random clients on tavril-gateway's ports while the simulator misbehaves");
    gatewayCommand->add_option("-s,--seconds", gateway.seconds, "duration")->check(CLI::Range(1.0, 1e6));
    gatewayCommand->add_option("--seed", gateway.seed, "random seed (0: from the clock)");
    gatewayCommand->add_option("--ports", gateway.ports, "ports (slots) served")->check(CLI::Range(1, 4));
    gatewayCommand->add_option("--clients", gateway.clients, "clients per port")->check(CLI::Range(1, 8));
    gatewayCommand->add_option("--vxi11-clients", gateway.vxiClients,
                               "VXI-11 clients per port, taking turns with the raw-socket ones (0: none)")
        ->check(CLI::Range(0, 8));
    gatewayCommand->add_option("--max-data", gateway.maxData, "largest DATA? answer, bytes")
        ->check(CLI::Range(std::size_t{262144}, std::size_t{64} * 1024 * 1024));
    gatewayCommand->add_option("--memory-slack-kib", gateway.memorySlackKib,
                               "the gateway's RSS growth tolerated (default: from the sizes)");
    gatewayCommand->add_option("--gateway-log", gateway.gatewayLog, "write the gateway's log to this file");
    gatewayCommand->add_option("--violations-shown", gateway.violationsShown,
                               "violations printed (default 20); the rest are counted");

    CLI11_PARSE(app, argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (std::getenv(kPrivateMark) == nullptr) return run_in_private_directory(argv);

    try {
        std::uint64_t violations = 0;
        if (claimsCommand->parsed()) violations = run_claims(claims);
        if (threadsCommand->parsed()) violations = run_threads(threads);
        if (soakCommand->parsed()) violations = run_soak(soak);
        if (gatewayCommand->parsed()) violations = run_gateway(gateway);
        std::printf("%s: %llu violation(s)\n", violations == 0 ? "PASS" : "FAIL",
                    static_cast<unsigned long long>(violations));
        return violations == 0 ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavlib-stress: %s\n", error.what());
        return 2;
    }
}
