// main() for test programs that share state through the runtime directory:
// the program starts itself again as a child in a fresh directory, so that
// the library binds its slot table there when it loads, and removes the
// directory when the child ends.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "../emulated_command.h"

int main(int argc, char** argv) {
    if (std::getenv("TAVLIB_TEST_ISOLATED") == nullptr) {
        char pattern[] = "/tmp/tavlib-test-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::perror("mkdtemp");
            return 2;
        }
        ::setenv("TAVRIL_RUNTIME_DIR", pattern, 1);
        ::setenv("TAVLIB_TEST_ISOLATED", "1", 1);
        // This program's own path (under an emulator, /proc/self/exe would
        // name the emulator, but reading the link gives the program).
        std::error_code unreadable;
        const std::string self = std::filesystem::read_symlink("/proc/self/exe", unreadable);
        auto command = tavtest::emulated_command(unreadable ? "/proc/self/exe" : self,
                                                 std::vector<std::string>(argv + 1, argv + argc));
        auto childArgv = tavtest::argv_of(command);
        const pid_t child = ::fork();
        if (child == 0) {
            ::execv(childArgv[0], childArgv.data());
            std::perror("execv");
            ::_exit(127);
        }
        int status = 0;
        while (::waitpid(child, &status, 0) < 0) {
        }
        std::error_code ignored;
        std::filesystem::remove_all(pattern, ignored);
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        std::fprintf(stderr, "test process ended by signal %d\n", WTERMSIG(status));
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
