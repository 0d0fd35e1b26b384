// The command line that starts a program of this build from a test.  When
// the test itself runs under a user-mode emulator, the environment names it
// (TAVLIB_TEST_EMULATOR, e.g. qemu-i386-static): the program goes through
// the same emulator, named explicitly rather than left to binfmt_misc, which
// would run it natively.  Unset, the program runs directly.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

namespace tavtest {

inline const char* test_emulator() {
    const char* emulator = std::getenv("TAVLIB_TEST_EMULATOR");
    return emulator != nullptr && *emulator != '\0' ? emulator : nullptr;
}

// The words of the command; `program` is an absolute path.
inline std::vector<std::string> emulated_command(std::string program,
                                                 std::vector<std::string> args = {}) {
    std::vector<std::string> words;
    if (const char* emulator = test_emulator()) words.emplace_back(emulator);
    words.push_back(std::move(program));
    for (auto& arg : args) words.push_back(std::move(arg));
    return words;
}

// An argv for exec*: pointers into `words`, ending with a null pointer.
inline std::vector<char*> argv_of(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    return argv;
}

}  // namespace tavtest
