// The command line that starts a program of this build from a test.  In a
// cross build whose programs the kernel cannot run (linux-i686 on a 64-bit
// kernel), the program goes through the emulator the tests run under,
// TAVLIB_TEST_EMULATOR (qemu-i386-static), named explicitly rather than left
// to binfmt_misc; in a native build TAVLIB_TEST_EMULATOR is empty.
#pragma once

#include <string>
#include <vector>

namespace tavtest {

// The words of the command; `program` is an absolute path.
inline std::vector<std::string> emulated_command(std::string program,
                                                 std::vector<std::string> args = {}) {
    std::vector<std::string> words;
    if (*TAVLIB_TEST_EMULATOR != '\0') words.emplace_back(TAVLIB_TEST_EMULATOR);
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
