// Runs a benchmark in a runtime directory of its own: the program re-runs
// itself with TAVRIL_RUNTIME_DIR set to a fresh directory, so that the
// library binds its slot table there when it loads, and nothing another
// program on the machine holds in the default one is touched.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <initializer_list>
#include <system_error>

namespace tavlib::bench {

inline constexpr const char* kIsolatedMark = "TAVLIB_BENCH_ISOLATED";

// True in the re-run program.
inline bool isolated() { return ::getenv(kIsolatedMark) != nullptr; }

// Re-runs this program (argv as given) in the fresh directory, without the
// environment variables `unset`, waits for it and removes the directory:
// its exit status, 2 when the directory could not be made.
inline int run_isolated(char** argv, std::initializer_list<const char*> unset = {}) {
    char pattern[] = "/tmp/tavlib-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 2;
    ::setenv("TAVRIL_RUNTIME_DIR", pattern, 1);
    ::setenv(kIsolatedMark, "1", 1);
    for (const char* name : unset) ::unsetenv(name);
    const pid_t child = ::fork();
    if (child == 0) {
        ::execv("/proc/self/exe", argv);
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace tavlib::bench
